// The facade's enrolment contexts: a browser page opens one for a profile
// its origin may enrol, has the service make the key and PKCS#10 request, and
// hands back the server's PKCS#7 reply; login, logout, status and the profile
// lists by origin and profile id.
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>

#include "../core/create_object.h"
#include "../core/task_manager.h"
#include "../tokens/token_kv.h"
#include "../tokens/token_manager.h"
#include "kvc_api_facade_impl.h"
#include "qev_random.h"
#include "qev_results.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_strings.h"
#include "zelk_trace.h"
#include "zelk_url.h"

namespace ZELK::PSESVC {

namespace {

// No token manager.
constexpr HRESULT E_NO_TOKEN_MANAGER = ZELK_RC(0x8000FFFF);
constexpr const char* TRACE_MODULE = "webadapter";
constexpr const char* WEBADAPTER_TYPE = "webadapter";
constexpr const char* LOCALSERVER_TYPE = "hearthgate";
constexpr const char* PROFILE_MARK = "?profile=";
constexpr unsigned kUidLength = 32;
// Arguments of the random table that select its letters-and-digits text.
constexpr int kRandomSource = 5;

API_COMMON* s_random = nullptr;
CLoadAPI s_loadRandom(nullptr, SEC_RANDOM_API, &s_random);

CZELK_CLASS s_facadeClass("zelk", KVC_API_FACADE_CLASS, &CSingletonFactoryImpl<CKVCAPIFacadeImpl>::New);

void Trace(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnV(TRACE_MODULE, static_cast<unsigned>(level), format, args);
    va_end(args);
}

const char* Text(const char* s)
{
    return s != nullptr ? s : "";
}

HRESULT TokenManager(AuxRefPtr<CTokenMgr>& tokens)
{
    return CTokenMgr::GetExisting(&tokens);
}

// A new list of the texts, each ended by a NUL and the list by another.
HRESULT MultiString(const std::vector<std::string>& texts, char** out)
{
    size_t size = 1;
    for (const std::string& text : texts)
        size += text.size() + 1;
    auto* list = static_cast<char*>(sec_malloc(size));
    if (list == nullptr)
        return E_OUTOFMEMORY;
    char* at = list;
    for (const std::string& text : texts) {
        std::memcpy(at, text.c_str(), text.size() + 1);
        at += text.size() + 1;
    }
    *at = 0;
    *out = list;
    return S_OK;
}

// Whether one of the token's enrol URLs matches the origin.
bool EnrolsFor(CToken_KV* token, const char* origin)
{
    AuxRefPtr<IURLParser> parser;
    if (origin == nullptr || FAILED(ZELK_CreateObject("zelkbase", ZELK_CLASS_URL_PARSER, &parser))
        || FAILED(parser->parse(origin)))
        return false;
    AuxPtr<char> urls;
    if (FAILED(token->GetEnrollURLs(&urls)) || urls == nullptr)
        return false;
    for (const char* url = urls; *url != 0; url += std::strlen(url) + 1)
        if (parser->pattern_match(url))
            return true;
    return false;
}

// The profile token of a name, as its enrolment-profile class.
CToken_KV* ProfileToken(CTokenMgr* tokens, const char* name)
{
    AuxRefPtr<CToken> token;
    if (name == nullptr || *name == 0 || FAILED(tokens->GetOwnKVSTokenByName(name, &token)) || !token)
        return nullptr;
    CToken_KV* kv = nullptr;
    if (FAILED(token->QueryInterface(IID_CToken_KV, reinterpret_cast<void**>(&kv))))
        return nullptr;
    return kv;
}

// Whether the text is Base64 of the DER of a distinguished name.
bool IsName(const char* base64)
{
    AuxPtr<OctetString> der;
    if (FAILED(String_Base64Decode(base64, &der)) || !der)
        return false;
    const SEC_TYPE_TABLE* names = SEC_TypeTable(fptr__common_types, SEC_TYPE_DName);
    void* name = nullptr;
    if (names == nullptr || FAILED(names->decode(der, &name)) || name == nullptr)
        return false;
    names->free(name);
    return true;
}

}  // namespace

// --- contexts -------------------------------------------------------------

CKVCAPIFacadeImpl::InstanceData::~InstanceData()
{
    dropClient(true);
}

bool CKVCAPIFacadeImpl::InstanceData::validate(const char* profileId, const char* origin) const
{
    return profileId != nullptr && origin != nullptr && m_profileId == profileId && m_origin == origin;
}

IKestrin* CKVCAPIFacadeImpl::InstanceData::client()
{
    std::lock_guard<std::mutex> lock(m_clientLock);
    if (m_client != nullptr)
        m_client->AddRef();
    return m_client;
}

void CKVCAPIFacadeImpl::InstanceData::setClient(IKestrin* client)
{
    std::lock_guard<std::mutex> lock(m_clientLock);
    m_client = client;
}

void CKVCAPIFacadeImpl::InstanceData::dropClient(bool cancel)
{
    IKestrin* client = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_clientLock);
        client = m_client;
        m_client = nullptr;
    }
    if (client == nullptr)
        return;
    if (cancel)
        client->Cancel();
    client->Release();
}

CKVCAPIFacadeImpl::CKVCAPIFacadeImpl() = default;

CKVCAPIFacadeImpl::~CKVCAPIFacadeImpl()
{
    for (InstanceData* context : m_contexts)
        context->releaseReference();
    m_contexts.clear();
    if (m_stopEvent >= 0)
        close(m_stopEvent);
}

RefHolder<CKVCAPIFacadeImpl::InstanceData> CKVCAPIFacadeImpl::getInstanceData(const char* uid)
{
    if (uid == nullptr)
        return {};
    CriticalCodeSection lock(&m_csContexts);
    for (InstanceData* context : m_contexts)
        if (context->m_uid == uid)
            return RefHolder<InstanceData>(context);
    return {};
}

bool CKVCAPIFacadeImpl::removeIfListed(InstanceData* context)
{
    {
        CriticalCodeSection lock(&m_csContexts);
        auto at = std::find(m_contexts.begin(), m_contexts.end(), context);
        if (at == m_contexts.end())
            return false;
        m_contexts.erase(at);
    }
    // A running operation keeps its own reference and finds the client
    // cancelled; nothing waits for it.
    context->m_removed = true;
    context->dropClient(true);
    context->releaseReference();
    return true;
}

void CKVCAPIFacadeImpl::removeInstanceData(InstanceData* context)
{
    removeIfListed(context);
}

int CKVCAPIFacadeImpl::HousekeepClass::run()
{
    AuxRefPtr<CKVCAPIFacade> facade;
    if (FAILED(ZELK_CreateObject("zelk", KVC_API_FACADE_CLASS, &facade)))
        return 0;
    auto* self = static_cast<CKVCAPIFacadeImpl*>(static_cast<CKVCAPIFacade*>(facade));
    RefHolder<InstanceData> context = self->getInstanceData(m_uid.c_str());
    if (context) {
        Trace(3, "Webadapter Housekeep: remove Instance Data [%s]", m_uid.c_str());
        self->removeInstanceData(context.get());
    }
    return 0;
}

// --- profile selection ----------------------------------------------------

bool CKVCAPIFacadeImpl::ResolveProfileName(const char* origin, const char* profileId, std::string& name)
{
    AuxRefPtr<CTokenMgr> tokens;
    if (origin == nullptr || profileId == nullptr || FAILED(TokenManager(tokens)))
        return false;
    AuxPtr<char> found;
    if (SUCCEEDED(tokens->GetProfileNameByID(origin, profileId, &found)) && found != nullptr) {
        name = found;
        return true;
    }
    // The id may be a profile name itself, but only of a profile this
    // origin enrols for: another origin must not reach it.
    CToken_KV* token = ProfileToken(tokens, profileId);
    if (token == nullptr)
        return false;
    const bool allowed = EnrolsFor(token, origin);
    static_cast<CToken*>(token)->Release();
    if (allowed)
        name = profileId;
    return allowed;
}

CToken_KV* CKVCAPIFacadeImpl::getToken(const char* origin, const char* profileId)
{
    AuxRefPtr<CTokenMgr> tokens;
    std::string name;
    if (FAILED(TokenManager(tokens)) || !ResolveProfileName(origin, profileId, name))
        return nullptr;
    CToken_KV* token = ProfileToken(tokens, name.c_str());
    if (token == nullptr)
        return nullptr;
    // The caller takes its own reference.
    static_cast<CToken*>(token)->Release();
    return token;
}

bool CKVCAPIFacadeImpl::checkOrigin(const char* origin, char** allowed)
{
    if (allowed != nullptr)
        *allowed = nullptr;
    if (origin == nullptr || allowed == nullptr)
        return false;
    AuxRefPtr<IURLParser> parser;
    if (FAILED(ZELK_CreateObject("zelkbase", ZELK_CLASS_URL_PARSER, &parser)) || FAILED(parser->parse(origin))
        || !parser->isValid() || !parser->isHTTPS())
        return false;
    AuxPtr<char> patterns;
    if (FAILED(getOriginList(&patterns)) || patterns == nullptr)
        return false;
    for (const char* pattern = patterns; *pattern != 0; pattern += std::strlen(pattern) + 1) {
        if (!parser->pattern_match(pattern))
            continue;
        const size_t length = std::min<size_t>(parser->getLength(), std::strlen(origin));
        auto* text = static_cast<char*>(sec_malloc(length + 1));
        if (text == nullptr)
            return false;
        std::memcpy(text, origin, length);
        text[length] = 0;
        *allowed = text;
        return true;
    }
    return false;
}

HRESULT CKVCAPIFacadeImpl::getOriginList(char** list)
{
    AuxRefPtr<CTokenMgr> tokens;
    if (FAILED(TokenManager(tokens)))
        return E_NO_TOKEN_MANAGER;
    return tokens->GetAllConfiguredKVSURIs(list);
}

HRESULT CKVCAPIFacadeImpl::getProfileNamesList(char** list)
{
    if (list == nullptr)
        return E_INVALIDARG;
    AuxRefPtr<CTokenMgr> tokens;
    if (FAILED(TokenManager(tokens)))
        return E_NO_TOKEN_MANAGER;
    std::vector<std::string> names;
    for (unsigned long index = 0;; ++index) {
        CToken_KV* token = nullptr;
        if (FAILED(tokens->GetAllKVSTokens(index, &token)) || token == nullptr)
            break;
        const char* type = Text(token->GetProfileType());
        if (std::strcmp(type, WEBADAPTER_TYPE) != 0 && std::strcmp(type, LOCALSERVER_TYPE) != 0)
            names.emplace_back(Text(token->GetProfileName()));
        static_cast<CToken*>(token)->Release();
    }
    return MultiString(names, list);
}

void CKVCAPIFacadeImpl::traceOrigins(const char* origin, const char*)
{
    if (!SECTRACE_Check(TRACE_MODULE, 4))
        return;
    AuxPtr<char> patterns;
    getOriginList(&patterns);
    Trace(4, "******************  CORS Dump: ******************");
    Trace(4, "Origin: %s", Text(origin));
    for (const char* p = patterns; p != nullptr && *p != 0; p += std::strlen(p) + 1)
        Trace(4, "%s", p);
}

void CKVCAPIFacadeImpl::traceProfileIDs(const char*, const char* profileId)
{
    AuxRefPtr<CTokenMgr> tokens;
    if (!SECTRACE_Check(TRACE_MODULE, 4) || FAILED(TokenManager(tokens)))
        return;
    Trace(4, "******************  ProfileID Dump: ******************");
    Trace(4, "ProfileID: %s", Text(profileId));
    for (unsigned long index = 0;; ++index) {
        CToken_KV* token = nullptr;
        if (FAILED(tokens->GetAllKVSTokens(index, &token)) || token == nullptr)
            break;
        AuxPtr<char> urls;
        if (SUCCEEDED(token->GetEnrollURLs(&urls)) && urls != nullptr) {
            const char* mark = std::strstr(urls, PROFILE_MARK);
            if (mark != nullptr)
                Trace(4, "%s", mark + std::strlen(PROFILE_MARK));
        }
        static_cast<CToken*>(token)->Release();
    }
}

// --- operations -----------------------------------------------------------

int CKVCAPIFacadeImpl::createContext(const char* origin, const char* profileId, IJsonObject* clientConfig, uint32_t pid,
                                     IJsonObject* answer)
{
    Trace(3, "Webadapter API: createContext for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    CToken_KV* token = getToken(origin, profileId);
    if (token == nullptr)
        return 404;
    bool monitor = false;
    if (clientConfig != nullptr && clientConfig->getMemberType("browserMonitor") == JSON_TYPE_BOOL)
        clientConfig->getMemberBoolValue("browserMonitor", &monitor);
    {
        CriticalCodeSection lock(&m_csContexts);
        if (m_contexts.size() >= kMaxContexts)
            return 500;
    }
    const uint32_t browser = monitor ? pid : 0;
    RefHolder<InstanceData> context(
        new (std::nothrow) InstanceData(origin, profileId, browser, browser != 0 ? StartTime(browser) : 0));
    if (!context)
        return 500;
    const auto* random = ZELK_ApiCast<SEC_RANDOM_TABLE>(s_random);
    AuxPtr<char> uid;
    if (random == nullptr || FAILED(random->random(kRandomSource, kUidLength, SEC_RANDOM_UID_TEXT, &uid))
        || uid == nullptr || std::strlen(uid) != kUidLength)
        return 500;
    context->m_uid = uid;
    IKestrin* client = nullptr;
    if (SUCCEEDED(token->GetNewKVHandle(&client)) && client != nullptr) {
        client->SetClientConfig(clientConfig);
        context->setClient(client);
    }
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("uid", context->m_uid.c_str());

    AuxRefPtr<CTaskManager> tasks;
    if (SUCCEEDED(CSingletonFactoryImpl<CTaskManager>::New(&tasks))) {
        auto* expiry = new (std::nothrow) HousekeepClass(context->m_uid);
        if (expiry != nullptr)
            tasks->AddTask(HOUSEKEEP_TASK, &HousekeepClass::run, expiry, 300, 1, false);
    }
    CriticalCodeSection lock(&m_csContexts);
    if (m_contexts.size() >= kMaxContexts)
        return 500;
    context->addReference();
    m_contexts.push_back(context.get());
    return 200;
}

int CKVCAPIFacadeImpl::cancelContext(const char* origin, const char* profileId, const char* uid, IJsonObject* answer)
{
    Trace(3, "Webadapter API: cancelContext for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    RefHolder<InstanceData> context = getInstanceData(uid);
    if (!context)
        return 404;
    if (!context->validate(profileId, origin))
        return 403;
    removeInstanceData(context.get());
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("uid", context->m_uid.c_str());
    return 200;
}

int CKVCAPIFacadeImpl::createPKCS10(const char* origin, const char* profileId, const char* uid,
                                    const char* subjectNameDER, const char* extensionsDER, IJsonObject* answer)
{
    Trace(3, "Webadapter API: createPKCS10 for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    RefHolder<InstanceData> context = getInstanceData(uid);
    if (!context)
        return 404;
    if (!context->validate(profileId, origin))
        return 403;
    std::lock_guard<std::mutex> operation(context->m_operation);
    AuxRefPtr<IKestrin> client;
    client.Attach(context->client());
    if (!client || subjectNameDER == nullptr)
        return 500;
    // The enrolment client would quietly request its own subject in place of
    // one it cannot read.
    if (*subjectNameDER != 0 && !IsName(subjectNameDER))
        return 500;
    AuxPtr<OctetString> request;
    if (FAILED(client->CreateKey(0)) || FAILED(client->CreatePKCS10(subjectNameDER, extensionsDER))
        || FAILED(client->GetPKCS10(&request)) || !request)
        return 500;
    // Removed meanwhile: the request belongs to a context that is gone.
    if (context->m_removed)
        return 500;
    StringT<char> text;
    if (FAILED(String_Base64Encode(request, &text)) || static_cast<const char*>(text) == nullptr)
        return 500;
    std::string pkcs10;
    for (const char* c = static_cast<const char*>(text); *c != 0; ++c)
        if (*c != '\r' && *c != '\n')
            pkcs10 += *c;
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("uid", context->m_uid.c_str());
    answer->setMemberStringValue("pkcs10", pkcs10.c_str());
    return 200;
}

int CKVCAPIFacadeImpl::importP7(const char* origin, const char* profileId, const char* uid, const char* pkcs7,
                                IJsonObject* answer)
{
    Trace(3, "Webadapter API: importP7 for host/profileid/uid: [%s][%s][%s]", Text(origin), Text(profileId), Text(uid));
    Trace(3, "Webadapter API: importP7 pkcs7: [%s]", Text(pkcs7));
    RefHolder<InstanceData> context = getInstanceData(uid);
    if (!context)
        return 404;
    CToken_KV* token = getToken(origin, profileId);
    if (token == nullptr)
        return 404;
    AuxRefPtr<CToken> held(static_cast<CToken*>(token));
    if (!context->validate(profileId, origin))
        return 403;
    std::lock_guard<std::mutex> operation(context->m_operation);
    AuxRefPtr<IKestrin> client;
    client.Attach(context->client());
    if (!client)
        return 500;
    // The import uses the client up, whatever its outcome.
    context->dropClient(false);
    AuxPtr<OctetString> reply;
    HRESULT hr = pkcs7 != nullptr ? String_Base64Decode(pkcs7, &reply) : E_INVALIDARG;
    if (SUCCEEDED(hr) && !reply)
        hr = E_FAIL;
    if (SUCCEEDED(hr))
        hr = client->ImportPKCS7(reply);
    // A failed import must not replace the profile's working login, nor one
    // whose context was cancelled meanwhile.
    if (FAILED(hr) || context->m_removed) {
        client->Cancel();
        return 500;
    }
    token->LoginWithKVHandle(client);
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("status", "SUCCESS");
    removeInstanceData(context.get());
    if (context->m_pid != 0)
        createMonitor(context->m_origin, context->m_profileId, context->m_pid, context->m_startTime);
    return 200;
}

int CKVCAPIFacadeImpl::deferred(Action action, const char* origin, const char* profileId, IJsonObject* answer)
{
    if (getToken(origin, profileId) == nullptr)
        return 404;
    AuxRefPtr<CTaskManager> tasks;
    if (SUCCEEDED(CSingletonFactoryImpl<CTaskManager>::New(&tasks))) {
        auto* task = new (std::nothrow) DeferredClass(action, origin, profileId);
        if (task != nullptr)
            tasks->AddTask(action == ACTION_LOGIN ? LOGIN_TASK : LOGOUT_TASK, &DeferredClass::run, task, 1, 2, false);
    }
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("status", "SUCCESS");
    return 200;
}

int CKVCAPIFacadeImpl::login(const char* origin, const char* profileId, IJsonObject* answer)
{
    Trace(4, "Webadapter API: login for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    return deferred(ACTION_LOGIN, origin, profileId, answer);
}

int CKVCAPIFacadeImpl::logout(const char* origin, const char* profileId, IJsonObject* answer)
{
    Trace(4, "Webadapter API: logout for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    return deferred(ACTION_LOGOUT, origin, profileId, answer);
}

int CKVCAPIFacadeImpl::DeferredClass::run()
{
    AuxRefPtr<CTokenMgr> tokens;
    if (FAILED(TokenManager(tokens)))
        return E_OUTOFMEMORY;
    std::string name;
    if (!ResolveProfileName(m_origin.c_str(), m_profileId.c_str(), name))
        return E_TOKEN_NOTFOUND;
    switch (m_action) {
    case ACTION_LOGIN:
        Trace(3, "Webadapter API: trigger login for profile [%s]", name.c_str());
        return tokens->Login(name.c_str(), nullptr);
    case ACTION_LOGOUT:
        Trace(3, "Webadapter API: trigger logout for profile [%s]", name.c_str());
        return tokens->Logout(name.c_str());
    }
    return E_NO_TOKEN_MANAGER;
}

int CKVCAPIFacadeImpl::status(const char* origin, const char* profileId, IJsonObject* answer)
{
    Trace(4, "Webadapter API: status for host/profileid: [%s][%s]", Text(origin), Text(profileId));
    CToken_KV* token = getToken(origin, profileId);
    if (token == nullptr)
        return 404;
    AuxRefPtr<CToken> held(static_cast<CToken*>(token));
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("status", token->NeedLogin() ? "LOGGED_OUT" : "LOGGED_IN");
    return 200;
}

int CKVCAPIFacadeImpl::clearSChannelCache(IJsonObject* answer)
{
    answer->setMemberStringValue("status", "SUCCESS");
    return 200;
}

int CKVCAPIFacadeImpl::getProfileNames(IJsonObject* answer)
{
    AuxPtr<char> names;
    if (FAILED(getProfileNamesList(&names)) || names == nullptr)
        return 500;
    AuxRefPtr<IJsonArray> profiles;
    if (FAILED(answer->createMemberArrayValue("profiles", &profiles)) || !profiles)
        return 500;
    unsigned long index = 0;
    for (const char* name = names; *name != 0; name += std::strlen(name) + 1)
        profiles->setItemStringValue(index++, name);
    return 200;
}

}  // namespace ZELK::PSESVC
