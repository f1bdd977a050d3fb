// The service PSE's application objects and control channel: named values
// common to every client of the PSE, the "kvc." commands, the user switch, and
// the control calls for the connection broker and the local web API.
#include <openssl/crypto.h>

#include <cstring>
#include <string>

#include "../tokens/token_manager.h"
#include "../webadapter/kvc_api_facade.h"
#include "create_object.h"
#include "gss_connections.h"
#include "qev_attributes.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_ptr.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"
#include "zelk_tunnel.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {

std::atomic<IUnknown*> ZELKPSE::s_tunnelSource {nullptr};

namespace {

API_COMMON* s_json = nullptr;
CLoadAPI s_loadJson("zelkbase", JSONAPI_NAME, &s_json);

// The application's reverse-DNS identifier, which names the user object.
constexpr const char* USER_OBJECT = "!org.kestrin.client.user";

bool StartsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The one or two texts of a command's value, wiped when they go: they may
// carry credentials.
struct CommandTexts {
    std::string first;
    std::string second;
    bool hasSecond = false;

    explicit CommandTexts(const OctetString* value)
    {
        if (value == nullptr || value->data == nullptr || value->length == 0)
            return;
        const char* bytes = reinterpret_cast<const char*>(value->data);
        size_t length = static_cast<size_t>(value->length);
        const void* nul = std::memchr(bytes, 0, length);
        size_t firstLength = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : length;
        first.assign(bytes, firstLength);
        if (firstLength + 1 < length) {
            const char* rest = bytes + firstLength + 1;
            size_t restLength = length - firstLength - 1;
            const void* end = std::memchr(rest, 0, restLength);
            second.assign(rest, end ? static_cast<size_t>(static_cast<const char*>(end) - rest) : restLength);
            hasSecond = true;
        }
    }
    ~CommandTexts()
    {
        if (!first.empty())
            OPENSSL_cleanse(first.data(), first.size());
        if (!second.empty())
            OPENSSL_cleanse(second.data(), second.size());
    }
    CommandTexts(const CommandTexts&) = delete;
    CommandTexts& operator=(const CommandTexts&) = delete;
};

HRESULT CopyValue(const OctetString* value, OctetString** out)
{
    *out = nullptr;
    if (value == nullptr)
        return S_OK;
    return AuxCpy(value, out);
}

}  // namespace

HRESULT ZELKPSE::readApplObject(const char* name, OctetString** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::readApplObject");
    if (name == nullptr || out == nullptr)
        return trace.result = E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_applLock);
    for (sApplObject* object : m_applObjects) {
        if (object->name == name) {
            OctetString* copy = nullptr;
            trace.result = CopyValue(object->value, &copy);
            *out = SUCCEEDED(trace.result) ? copy : nullptr;
            return trace.result = SUCCEEDED(trace.result) ? S_OK : trace.result;
        }
    }
    *out = nullptr;
    return trace.result = S_FALSE;
}

HRESULT ZELKPSE::writeApplObject(const char* name, OctetString* value)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::writeApplObject");
    if (name == nullptr)
        return trace.result = E_INVALIDARG;
    if (StartsWith(name, "kvc."))
        return trace.result = RunApplCommand(name, value);

    bool switchUser = false;
    {
        std::lock_guard<std::mutex> lock(m_applLock);
        for (sApplObject* object : m_applObjects) {
            if (object->name != name)
                continue;
            if (name[0] == '!')
                return trace.result = E_ACCESSDENIED;
            OctetString* copy = nullptr;
            trace.result = CopyValue(value, &copy);
            if (FAILED(trace.result))
                return trace.result;
            AuxFree(&object->value);
            object->value = copy;
            return trace.result = S_OK;
        }
        auto* object = new (std::nothrow) sApplObject;
        if (object == nullptr)
            return trace.result = E_OUTOFMEMORY;
        trace.result = CopyValue(value, &object->value);
        if (FAILED(trace.result)) {
            delete object;
            return trace.result;
        }
        try {
            object->name = name;
            m_applObjects.push_back(object);
        } catch (...) {
            AuxFree(&object->value);
            delete object;
            return trace.result = E_OUTOFMEMORY;
        }
        switchUser =
            std::strcmp(name, USER_OBJECT) == 0 && value != nullptr && value->data != nullptr && value->length > 0;
    }
    if (switchUser)
        return trace.result = UserSwitch(value);
    return trace.result = S_OK;
}

HRESULT ZELKPSE::RunApplCommand(const char* name, const OctetString* value)
{
    CommandTexts texts(value);
    bool hasFirst = value != nullptr && value->data != nullptr && value->length > 0;
    const char* first = hasFirst ? texts.first.c_str() : nullptr;
    const char* second = texts.hasSecond ? texts.second.c_str() : nullptr;

    bool known = std::strcmp(name, "kvc.login.gvx") == 0 || std::strcmp(name, "kvc.login") == 0
                 || std::strcmp(name, "kvc.logout") == 0 || std::strcmp(name, "kvc.is.enrolled") == 0;
    if (!known)
        return E_INVALIDARG;
    AuxRefPtr<CTokenMgr> tokens;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    if (std::strcmp(name, "kvc.login.gvx") == 0) {
        std::string token = hasFirst ? texts.first : std::string();
        std::string target;
        size_t slash = token.find('/');
        bool hasTarget = slash != std::string::npos;
        if (hasTarget) {
            target = token.substr(slash + 1);
            token.resize(slash);
        }
        hr = tokens->Login(hasFirst ? token.c_str() : nullptr, hasTarget ? target.c_str() : nullptr);
        OPENSSL_cleanse(token.data(), token.size());
        OPENSSL_cleanse(target.data(), target.size());
        return hr;
    }
    if (std::strcmp(name, "kvc.login") == 0)
        return tokens->Login(first, second);
    if (std::strcmp(name, "kvc.logout") == 0)
        return tokens->Logout(first);
    return tokens->GetIsEnrolled(first);
}

HRESULT ZELKPSE::UserSwitch(const OctetString* value)
{
    const char* bytes = reinterpret_cast<const char*>(value->data);
    size_t length = static_cast<size_t>(value->length);
    const void* nul = std::memchr(bytes, 0, length);
    std::string user(bytes, nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : length);
    IUnknown* source = s_tunnelSource.load();
    if (source == nullptr)
        return E_FAIL;
    AuxRefPtr<IPSESVCSession> session;
    if (FAILED(source->QueryInterface(IID_IPSESVCSession, reinterpret_cast<void**>(&session))) || !session)
        return E_FAIL;
    return session->UserSwitch(user.c_str());
}

HRESULT ZELKPSE::control(SECAttribute* in, SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::control");
    const char* action = SECAttributeArray_GetString(in, SEC_ATTR_ACTION);
    const char* path = SECAttributeArray_GetString(in, SEC_ATTR_CONTROL_PATH);
    if (action != nullptr) {
        AuxRefPtr<CGssConnections> broker;
        trace.result = CSingletonFactoryImpl<CGssConnections>::New(&broker);
        if (FAILED(trace.result))
            return trace.result;
        return trace.result = broker->DoGssAction(action, in, out);
    }
    if (path == nullptr)
        return trace.result = S_OK;
    return trace.result = ControlPath(path, in, out);
}

HRESULT ZELKPSE::ControlPath(const char* path, SECAttribute* in, SECAttribute* out)
{
    // Without a request to parse or a place for the answer the answer would be
    // lost: refuse before the facade acts.
    const char* request = SECAttributeArray_GetString(in, SEC_ATTR_CONTROL_REQUEST);
    if (request == nullptr || SECAttributeArray_FindAttribute(out, SEC_ATTR_CONTROL_ANSWER) == nullptr)
        return E_INVALIDARG;
    const char* caller = SECAttributeArray_GetString(in, SEC_ATTR_CONTROL_CALLER);
    const JSONAPI_FUNCTION_TABLE* json = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
    if (json == nullptr)
        return E_FAIL;
    OctetString text {std::strlen(request), reinterpret_cast<unsigned char*>(const_cast<char*>(request))};
    AuxRefPtr<IJsonObject> parsed;
    HRESULT hr = json->json_parse(&text, &parsed);
    if (FAILED(hr))
        return hr;
    AuxRefPtr<IJsonObject> response;
    hr = json->json_create(&response);
    if (FAILED(hr))
        return hr;
    AuxRefPtr<CKVCAPIFacade> facade;
    hr = ZELK_CreateObject("zelk", KVC_API_FACADE_CLASS, &facade);
    if (FAILED(hr))
        return hr;
    facade->transact(caller, path, parsed, response);
    AuxPtr<OctetString> dump;
    hr = response->Dump(&dump);
    if (FAILED(hr))
        return hr;
    StringT<char> answer;
    if (dump && dump->length > 0) {
        auto* buffer = static_cast<char*>(sec_malloc(static_cast<size_t>(dump->length) + 1));
        if (buffer == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(buffer, dump->data, static_cast<size_t>(dump->length));
        buffer[dump->length] = 0;
        answer.Attach(buffer);
    } else {
        answer = "";
    }
    SECAttributeArray_SetString(out, SEC_ATTR_CONTROL_ANSWER, answer);
    return S_OK;
}

}  // namespace ZELK::PSESVC
