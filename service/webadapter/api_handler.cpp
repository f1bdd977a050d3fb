#include "api_handler.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "../core/create_object.h"
#include "../model/model_clients.h"
#include "qev_results.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC::WEBCLIENT {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";
constexpr const char* BROWSER = "Browser";

API_COMMON* s_json = nullptr;
CLoadAPI s_loadJson("zelkbase", JSONAPI_NAME, &s_json);

CZELK_CLASS s_handlerClass("zelk", API_HANDLER_CLASS, &CFactoryImpl<CAPIHandler>::New);
CZELK_CLASS s_factoryClass("zelk", API_FACTORY_CLASS, &CSingletonFactoryImpl<CAPIFactory>::New);

// A string member of a parsed body; NULL when the body or the member is
// missing or the member is no string.
const char* StringMember(IJsonObject* object, const char* name)
{
    if (object == nullptr || object->getMemberType(name) != JSON_TYPE_STRING)
        return nullptr;
    return object->getMemberStringValueStatic(name);
}

HRESULT NewJsonObject(IJsonObject** out)
{
    const auto* json = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
    return json != nullptr ? json->json_create(out) : E_FAIL;
}

}  // namespace

CAPIHandler::CAPIHandler()
{
    ZELK_CreateObject("zelk", KVC_API_FACADE_CLASS, &m_facade);
}

CAPIHandler::~CAPIHandler()
{
    if (m_pid != 0)
        CModelClients::ClientDisconnect(BROWSER, m_pid);
}

HRESULT CAPIHandler::SetProperties(SECAttribute* attributes)
{
    for (const SECAttribute* a = attributes; a != nullptr; a = a->next) {
        if (a->id == ATTR_CLIENT_PID && a->value != nullptr) {
            m_pid = *static_cast<const uint32_t*>(a->value);
            CModelClients::ClientConnect(BROWSER, m_pid);
            break;
        }
    }
    return S_OK;
}

HRESULT CAPIHandler::HandleRequest(IHTTPRequest* request, IHTTPResponse** response)
{
    CModelClients::ClientActive(BROWSER, m_pid);
    if (request == nullptr || response == nullptr)
        return E_INVALIDARG;
    if (!m_facade)
        return E_FAIL;
    AuxRefPtr<IHTTPResponse> answer;
    if (FAILED(ZELK_CreateObject("zelkbase", ZELK_CLASS_HTTP_RESPONSE, &answer)))
        return E_OUTOFMEMORY;
    answer->addHeader("Connection", "close");

    AuxPtr<char> allowed;
    bool accepted;
    {
        AuxPtr<char> origin;
        if (FAILED(request->getHeaderValue("Origin", &origin)) || origin == nullptr)
            request->getHeaderValue("Referer", &origin);
        accepted = m_facade->checkOrigin(origin, &allowed);
    }
    if (!accepted)
        SECTRACE_WriteLn(TRACE_MODULE, 3, "origin check failed");

    const char* method = request->getMethod();
    method = method != nullptr ? method : "";
    if (accepted) {
        if (std::strcmp(method, "GET") == 0) {
            HandleGET(request, answer, allowed);
        } else if (std::strcmp(method, "POST") == 0) {
            HandlePOST(request, answer, allowed);
        } else if (std::strcmp(method, "OPTIONS") == 0) {
            HandleOPTIONS(request, answer);
        } else {
            SECTRACE_FormatLn(TRACE_MODULE, 4, "HTTP method %s not allowed, reject", method);
            CreateError(answer, 405, nullptr);
        }
    } else if (std::strcmp(method, "OPTIONS") == 0) {
        HandleOPTIONS(request, answer);
    } else {
        CreateError(answer, 403, "API CALL FROM ORIGIN NOT ALLOWED");
    }
    if (accepted || std::strcmp(method, "OPTIONS") == 0) {
        // A refused origin has no allowed origin: only the age is added.
        answer->addHeader("Access-Control-Allow-Origin", accepted ? static_cast<const char*>(allowed) : nullptr);
        answer->addHeader("Access-Control-Max-Age", "0");
    }
    *response = answer.Detach();
    return S_OK;
}

const char* CAPIHandler::CheckKVCNamespace(IHTTPRequest* request, IHTTPResponse* response)
{
    static constexpr char kApiPrefix[] = "/kvc3/api/";
    const char* path = request->getPath();
    if (path != nullptr) {
        if (std::strncmp(path, "/kvc/", 5) == 0 || std::strncmp(path, "/mzt/", 5) == 0)
            return path + 1;
        if (std::strncmp(path, kApiPrefix, sizeof(kApiPrefix) - 1) == 0)
            return path + sizeof(kApiPrefix) - 1;
    }
    CreateError(response, 404, "Only requests in KVC namespace supported");
    return nullptr;
}

void CAPIHandler::HandleGET(IHTTPRequest* request, IHTTPResponse* response, const char* allowed)
{
    const char* name = CheckKVCNamespace(request, response);
    if (name == nullptr || *name == 0)
        return;
    SECTRACE_FormatLn(TRACE_MODULE, 3, "webadapter API method: %s", name);
    AuxRefPtr<IJsonObject> object;
    AuxPtr<char> profileId;
    int result;
    const char* traceName;
    if (strcasecmp(name, "status") == 0) {
        if (FAILED(request->getQueryString("profileid", &profileId)) || profileId == nullptr || *profileId == 0) {
            CreateError(response, 400, "PROFILEID MISSING");
            return;
        }
        if (FAILED(NewJsonObject(&object))) {
            CreateError(response, 500, nullptr);
            return;
        }
        result = m_facade->status(allowed, profileId, object);
        traceName = "GET::status";
    } else if (strcasecmp(name, "profileNames") == 0) {
        if (FAILED(NewJsonObject(&object))) {
            CreateError(response, 500, nullptr);
            return;
        }
        result = m_facade->getProfileNames(object);
        traceName = "GET::profileNames";
    } else {
        CreateError(response, 404, "API NOT FOUND");
        return;
    }
    if (result == 200) {
        response->addHeader("Cache-Control", "no-cache, no-store, must-revalidate");
        response->addHeader("Pragma", "no-cache");
        response->addHeader("Expires", "0");
        CreateSuccess(response, object);
        return;
    }
    TraceError(result, traceName, allowed, profileId != nullptr ? static_cast<const char*>(profileId) : "NoProfileID");
    CreateError(response, result, nullptr);
}

void CAPIHandler::HandlePOST(IHTTPRequest* request, IHTTPResponse* response, const char* allowed)
{
    const char* name = CheckKVCNamespace(request, response);
    if (name == nullptr)
        return;
    AuxRefPtr<IJsonObject> body;
    if (request->hasBody()) {
        OctetString blob {};
        const auto* json = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
        if (SUCCEEDED(request->getBodyBlob(&blob)) && json != nullptr && FAILED(json->json_parse(&blob, &body)))
            body.Free();
    }
    const char* profileId = StringMember(body, "profileid");

    AuxRefPtr<IJsonObject> object;
    if (std::strcmp(name, "kvc/getprofiles") == 0 || std::strcmp(name, "mzt/sign") == 0) {
        if (FAILED(NewJsonObject(&object))) {
            CreateError(response, 500, nullptr);
            return;
        }
        if (FAILED(m_facade->transact(allowed, name, body, object)))
            CreateError(response, 404, "API NOT FOUND");
        else
            CreateSuccess(response, object);
        return;
    }
    if (*name == 0) {
        CreateError(response, 404, "API NOT FOUND");
        return;
    }
    if (profileId == nullptr) {
        CreateError(response, 400, "PROFILE ID MISSING");
        return;
    }
    SECTRACE_FormatLn(TRACE_MODULE, 3, "webadapter API method: %s", name);
    if (FAILED(NewJsonObject(&object))) {
        CreateError(response, 500, nullptr);
        return;
    }
    int result;
    const char* traceName;
    if (strcasecmp(name, "createPKCS10") == 0) {
        const char* subject = StringMember(body, "subjectNameDER");
        const char* extensions = StringMember(body, "extensionsDER");
        const char* uid = StringMember(body, "uid");
        if (subject == nullptr) {
            CreateError(response, 400, "Subject missing");
            return;
        }
        if (extensions == nullptr) {
            CreateError(response, 400, "Extension missing");
            return;
        }
        if (uid == nullptr) {
            CreateError(response, 400, "UID missing");
            return;
        }
        result = m_facade->createPKCS10(allowed, profileId, uid, subject, extensions, object);
        traceName = "POST::createPKCS10";
    } else if (strcasecmp(name, "clearSChannelCache") == 0) {
        result = m_facade->clearSChannelCache(object);
        traceName = "POST::clearSChannelCache";
    } else if (strcasecmp(name, "cancelContext") == 0) {
        result = m_facade->cancelContext(allowed, profileId, StringMember(body, "uid"), object);
        traceName = "POST::cancelContexte";
    } else if (strcasecmp(name, "createContext") == 0) {
        AuxRefPtr<IJsonObject> config;
        if (body->getMemberType("clientConfig") != JSON_TYPE_OBJECT
            || FAILED(body->getMemberObjectValue("clientConfig", &config)) || !config) {
            CreateError(response, 400, "Config Object missing");
            return;
        }
        result = m_facade->createContext(allowed, profileId, config, m_pid, object);
        traceName = "POST::createContext";
    } else if (strcasecmp(name, "importP7") == 0) {
        result = m_facade->importP7(allowed, profileId, StringMember(body, "uid"), StringMember(body, "pkcs7"), object);
        traceName = "POST::importP7";
    } else if (strcasecmp(name, "login") == 0) {
        result = m_facade->login(allowed, profileId, object);
        traceName = "POST::login";
    } else if (strcasecmp(name, "logout") == 0) {
        result = m_facade->logout(allowed, profileId, object);
        traceName = "POST::logout";
    } else {
        CreateError(response, 404, "API NOT FOUND");
        return;
    }
    if (result == 200) {
        CreateSuccess(response, object);
        return;
    }
    TraceError(result, traceName, allowed, profileId);
    CreateError(response, result, nullptr);
}

void CAPIHandler::HandleOPTIONS(IHTTPRequest* request, IHTTPResponse* response)
{
    const char* name = CheckKVCNamespace(request, response);
    if (name == nullptr || *name == 0) {
        CreateError(response, 404, "Options::API METHOD NOT FOUND");
        return;
    }
    SECTRACE_WriteLn(TRACE_MODULE, 3, "webadapter API : send CORS OPTION response");
    response->setStatus(204, nullptr);
    response->addHeader("Access-Control-Allow-Methods", "POST, GET");
    response->addHeader("Access-Control-Allow-Headers", "accept, content-type");
}

void CAPIHandler::CreateError(IHTTPResponse* response, int status, const char* text)
{
    response->setStatus(status, nullptr);
    if (text != nullptr) {
        SECTRACE_FormatLn(TRACE_MODULE, 4, "HTTP Error Response: %s [%d]", text, status);
        response->setBody(text);
    } else {
        SECTRACE_FormatLn(TRACE_MODULE, 4, "HTTP Error Response with error code %d", status);
        response->setBody("");
    }
}

void CAPIHandler::CreateSuccess(IHTTPResponse* response, IJsonObject* object)
{
    response->setStatus(200, nullptr);
    response->addHeader("Content-Type", "application/json; charset=utf-8");
    if (object == nullptr)
        return;
    AuxPtr<OctetString> dump;
    if (FAILED(object->Dump(&dump)) || !dump)
        return;
    std::string text(reinterpret_cast<const char*>(dump->data), static_cast<size_t>(dump->length));
    response->setBody(text.c_str());
}

void CAPIHandler::TraceError(int status, const char* name, const char* origin, const char* profileId)
{
    if (status == 500)
        return;
    m_facade->traceOrigins(origin, profileId);
    m_facade->traceProfileIDs(origin, profileId);
    SECTRACE_FormatLn(TRACE_MODULE, 4, "HTTP Error(%d) on Method: %s", status, name);
}

HRESULT CAPIFactory::CreateInstance(IUnknown*, const GUID& iid, void** out)
{
    return CFactoryImpl<CAPIHandler>::New(iid, out);
}

HRESULT CAPIFactory::LockServer(bool)
{
    return S_OK;
}

HRESULT CAPIFactory::CreateInstance()
{
    return S_OK;
}

}  // namespace ZELK::PSESVC::WEBCLIENT
