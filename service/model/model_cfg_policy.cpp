#include "model_cfg_policy.h"

#include <cstring>
#include <string>

#include "../core/policy_groups_monitor.h"
#include "../core/pse_factory.h"
#include "qev_pse.h"
#include "qev_ssl.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.cfg.policy", &CSingletonFactoryImpl<CModelCfgPolicy>::New);

API_COMMON* s_url = nullptr;
CLoadAPI s_loadUrl(nullptr, SEC_URL_API, &s_url);
API_COMMON* s_json = nullptr;
CLoadAPI s_loadJson("zelkbase", JSONAPI_NAME, &s_json);

constexpr const char* kGroupPath = "groups/user";
constexpr unsigned long kDefaultTimeout = 30;
// The download asks the shared TLS context for the same option as the local
// HTTPS server's contexts, and applies the library's defaults.
constexpr unsigned long kDownloadOption = 0x8;

// A text policy value without blanks at both ends; empty when absent.
StringT<char> TrimmedString(ZELK_IPolicy* policy, const char* name)
{
    StringT<char> value(policy, name);
    if (!value.IsEmpty())
        String_Chop(value.GetBuffer(0));
    return value;
}

// One text of the bundle "kvlogsvc" in UTF-8; the key when there is none.
StringT<char> ServiceText(const char* key)
{
    StringT<char> text(key);
    IResourceManager* resources = nullptr;
    if (GetResourceManager(L"kvlogsvc", &resources) == S_OK && resources != nullptr) {
        const wchar_t* wide = resources->GetW(key);
        if (wide != nullptr && std::wcscmp(wide, ZELK_RESLOADER_NO_RESOURCES_W) != 0)
            text = StringT<char>(wide, 0);
        resources->Release();
    }
    return text;
}

bool Same(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return (a == nullptr || *a == '\0') && (b == nullptr || *b == '\0');
    return std::strcmp(a, b) == 0;
}

}  // namespace

CModelCfgPolicy::~CModelCfgPolicy()
{
    sec_free(m_groupNames);
    for (char* old : m_retiredNames)
        sec_free(old);
}

HRESULT CModelCfgPolicy::Initialize()
{
    CSingletonFactoryImpl<CModelCfgPolicy>::Initialize();
    ZELK_IPolicy* policy = nullptr;
    if (ZELK_PolOpen(kGroupPath, &policy) >= 0 && policy != nullptr) {
        CriticalCodeSection lock(&m_cs);
        m_policy.Attach(policy);
    }
    ReadConfig();
    return S_OK;
}

HRESULT CModelCfgPolicy::Finalize()
{
    ZELK_PTR(ZELK_IPolicy) policy;
    {
        CriticalCodeSection lock(&m_cs);
        policy = m_policy;
    }
    if (policy)
        policy->RegisterCallback(nullptr);
    return CSingletonFactoryImpl<CModelCfgPolicy>::Finalize();
}

const char* CModelCfgPolicy::PolicyName(IGUIModelCfgPolicy_Param param)
{
    switch (param) {
    case CFGPOLICY_HOST:
        return "PolicyHost";
    case CFGPOLICY_GROUP:
        return "PolicyPath";
    case CFGPOLICY_GROUP_DISPLAY_NAME:
        return "PolicyName";
    case CFGPOLICY_TTL:
        return "PolicyTTL";
    case CFGPOLICY_USE_SYSTEM_PROXY:
        return "useWindowsHttpProxy";
    case CFGPOLICY_PROXY_URL:
        return "HTTPProxyURL";
    default:
        return nullptr;
    }
}

bool CModelCfgPolicy::Change(RetainedText& field, const char* text)
{
    if (Same(Value(field), text))
        return false;
    field.Set(text);
    return true;
}

IGUIModelCfgPolicy_TTL CModelCfgPolicy::RoundTTL(unsigned int minutes)
{
    if (minutes == 0)
        return CFGPOLICY_TTL_NEVER;
    if (minutes == 1)
        return CFGPOLICY_TTL_MINUTE;
    if (minutes <= 5)
        return CFGPOLICY_TTL_5_MINUTES;
    if (minutes <= 10)
        return CFGPOLICY_TTL_10_MINUTES;
    if (minutes <= 60)
        return CFGPOLICY_TTL_HOUR;
    return CFGPOLICY_TTL_DAY;
}

HRESULT CModelCfgPolicy::ReadConfig()
{
    ZELK_PTR(ZELK_IPolicy) policy;
    {
        CriticalCodeSection lock(&m_cs);
        policy = m_policy;
    }
    if (!policy)
        return E_FAIL;
    StringT<char> host(static_cast<ZELK_IPolicy*>(policy), "PolicyHost");
    StringT<char> group(static_cast<ZELK_IPolicy*>(policy), "PolicyName");
    StringT<char> path(static_cast<ZELK_IPolicy*>(policy), "PolicyPath");
    const unsigned int ttl = RoundTTL(policy->GetDWORD("PolicyTTL"));
    const bool useSystemProxy = policy->GetDWORD("useWindowsHttpProxy") != 0;
    StringT<char> proxy(static_cast<ZELK_IPolicy*>(policy), "HTTPProxyURL");
    policy->RegisterCallback(this);

    bool changed = false;
    {
        CriticalCodeSection lock(&m_cs);
        changed = Change(m_host, host);
        changed = Change(m_group, group) || changed;
        changed = Change(m_path, path) || changed;
        changed = m_ttl != ttl || changed;
        m_ttl = ttl;
        m_useSystemProxy = useSystemProxy;
        Change(m_proxyUrl, proxy);
        if (changed)
            m_groupListValid = false;
    }
    if (changed)
        NextRevision();
    return S_OK;
}

void CModelCfgPolicy::Signal()
{
    if (!m_applying)
        ReadConfig();
}

HRESULT CModelCfgPolicy::Apply()
{
    CPolicyGroupsMonitor* monitor = nullptr;
    CSingletonFactoryImpl<CPolicyGroupsMonitor>::New(&monitor);
    m_applying = true;
    if (monitor != nullptr)
        monitor->Suspend();

    ZELK_PTR(ZELK_IPolicy) policy;
    StringT<char> host, group, path, proxy;
    unsigned int ttl = 0;
    {
        CriticalCodeSection lock(&m_cs);
        if (m_host.IsEmpty())
            Clear();
        policy = m_policy;
        host = Value(m_host);
        group = Value(m_group);
        path = Value(m_path);
        proxy = Value(m_proxyUrl);
        ttl = m_ttl;
    }
    if (policy) {
        policy->SetString("PolicyHost", host);
        policy->SetString("PolicyName", group);
        policy->SetString("PolicyPath", path);
        policy->SetDWORD("PolicyTTL", ttl);
        policy->SetDWORD("useWindowsHttpProxy", m_useSystemProxy ? 1 : 0);
        policy->SetString("HTTPProxyURL", proxy);
        if (host.IsEmpty()) {
            policy->DeleteSubkey("applications");
            policy->DeleteSubkey("profiles");
        }
    }

    if (monitor != nullptr) {
        monitor->Resume(true);
        monitor->Release();
    }
    m_applying = false;
    return S_OK;
}

HRESULT CModelCfgPolicy::Cancel()
{
    ReadConfig();
    return S_OK;
}

HRESULT CModelCfgPolicy::Update()
{
    CPolicyGroupsMonitor* monitor = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<CPolicyGroupsMonitor>::New(&monitor)) && monitor != nullptr) {
        monitor->ReloadNow();
        monitor->Release();
    }
    return S_OK;
}

HRESULT CModelCfgPolicy::Clear()
{
    CriticalCodeSection lock(&m_cs);
    m_host.Set(nullptr);
    m_group.Set(nullptr);
    m_path.Set(nullptr);
    return S_OK;
}

bool CModelCfgPolicy::IsChangeable(IGUIModelCfgPolicy_Param param)
{
    const char* name = PolicyName(param);
    if (name == nullptr)
        return false;
    ZELK_PTR(ZELK_IPolicy) policy;
    {
        CriticalCodeSection lock(&m_cs);
        policy = m_policy;
    }
    return policy && policy->IsChangeable(name);
}

const char* CModelCfgPolicy::GetString(IGUIModelCfgPolicy_Param param)
{
    switch (param) {
    case CFGPOLICY_STATUS: {
        CriticalCodeSection lock(&m_cs);
        return Value(m_statusText);
    }
    case CFGPOLICY_HOST:
        return GetPolicyHost();
    case CFGPOLICY_GROUPS:
        return GetPolicyGroups();
    case CFGPOLICY_GROUP_NAMES: {
        CriticalCodeSection lock(&m_cs);
        return GroupNames();
    }
    case CFGPOLICY_GROUP:
        return GetPolicyGroup();
    case CFGPOLICY_GROUP_DISPLAY_NAME:
        return GetPolicyGroupName();
    case CFGPOLICY_PROXY_URL:
        return GetHTTPProxyURL();
    default:
        return nullptr;
    }
}

unsigned int CModelCfgPolicy::GetDWORD(IGUIModelCfgPolicy_Param param)
{
    CriticalCodeSection lock(&m_cs);
    if (param == CFGPOLICY_STATUS)
        return static_cast<unsigned int>(m_status);
    if (param == CFGPOLICY_TTL)
        return m_ttl;
    return 0;
}

bool CModelCfgPolicy::GetBool(IGUIModelCfgPolicy_Param param)
{
    return param == CFGPOLICY_USE_SYSTEM_PROXY && GetHTTPProxyUSEIE();
}

HRESULT CModelCfgPolicy::SetString(IGUIModelCfgPolicy_Param param, const char* value)
{
    if (param == CFGPOLICY_STATUS) {
        bool changed = false;
        {
            CriticalCodeSection lock(&m_cs);
            if (!Same(Value(m_statusText), value)) {
                m_statusText.Set(value);
                changed = true;
            }
        }
        if (changed)
            NextRevision();
        return S_OK;
    }
    if (!IsChangeable(param) || param == CFGPOLICY_GROUPS || param == CFGPOLICY_GROUP_DISPLAY_NAME)
        return E_ACCESSDENIED;
    switch (param) {
    case CFGPOLICY_HOST:
        return SetPolicyHost(value);
    case CFGPOLICY_GROUP:
        return SetPolicyGroup(value);
    case CFGPOLICY_PROXY_URL:
        return SetHTTPProxyURL(value);
    default:
        return E_INVALIDARG;
    }
}

HRESULT CModelCfgPolicy::SetDWORD(IGUIModelCfgPolicy_Param param, unsigned int value)
{
    if (param == CFGPOLICY_STATUS) {
        SetStateByURLError(static_cast<int>(value));
        bool changed = false;
        {
            CriticalCodeSection lock(&m_cs);
            changed = m_status != static_cast<int32_t>(value);
            m_status = static_cast<int32_t>(value);
        }
        if (changed)
            NextRevision();
        return S_OK;
    }
    if (!IsChangeable(param) || param == CFGPOLICY_GROUPS || param == CFGPOLICY_GROUP_DISPLAY_NAME)
        return E_ACCESSDENIED;
    if (param == CFGPOLICY_TTL)
        return SetPolicyTTL(static_cast<IGUIModelCfgPolicy_TTL>(value));
    return E_INVALIDARG;
}

HRESULT CModelCfgPolicy::SetBool(IGUIModelCfgPolicy_Param param, bool value)
{
    if (!IsChangeable(param) || param == CFGPOLICY_GROUPS || param == CFGPOLICY_GROUP_DISPLAY_NAME)
        return E_ACCESSDENIED;
    if (param == CFGPOLICY_USE_SYSTEM_PROXY)
        return SetHTTPProxyUSEIE(value);
    return E_INVALIDARG;
}

const char* CModelCfgPolicy::GetPolicyHost()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_host);
}

const char* CModelCfgPolicy::GetPolicyGroup()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_group);
}

const char* CModelCfgPolicy::GetPolicyGroupName()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_groupName);
}

IGUIModelCfgPolicy_TTL CModelCfgPolicy::GetPolicyTTL()
{
    CriticalCodeSection lock(&m_cs);
    return static_cast<IGUIModelCfgPolicy_TTL>(m_ttl);
}

bool CModelCfgPolicy::GetHTTPProxyUSEIE()
{
    return m_useSystemProxy;
}

const char* CModelCfgPolicy::GetHTTPProxyURL()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_proxyUrl);
}

const char* CModelCfgPolicy::GroupNames() const
{
    return m_groupNames != nullptr && *m_groupNames != '\0' ? m_groupNames : nullptr;
}

HRESULT CModelCfgPolicy::SetPolicyHost(const char* host)
{
    CriticalCodeSection lock(&m_cs);
    if (Change(m_host, host)) {
        m_group.Set(nullptr);
        m_path.Set(nullptr);
    }
    m_groupListValid = false;
    return S_OK;
}

HRESULT CModelCfgPolicy::SetPolicyGroup(const char* name)
{
    CriticalCodeSection lock(&m_cs);
    Change(m_group, name);
    if (m_reply) {
        char* path = nullptr;
        if (name == nullptr || FAILED(m_reply->getMemberStringValue(name, &path)))
            path = nullptr;
        Change(m_path, path);
        sec_free(path);
    }
    return S_OK;
}

HRESULT CModelCfgPolicy::SetPolicyTTL(IGUIModelCfgPolicy_TTL ttl)
{
    CriticalCodeSection lock(&m_cs);
    m_ttl = ttl;
    return S_OK;
}

HRESULT CModelCfgPolicy::SetHTTPProxyUSEIE(bool on)
{
    m_useSystemProxy = on;
    return S_OK;
}

HRESULT CModelCfgPolicy::SetHTTPProxyURL(const char* url)
{
    CriticalCodeSection lock(&m_cs);
    Change(m_proxyUrl, url);
    return S_OK;
}

const char* CModelCfgPolicy::StatusTextKey(HRESULT code)
{
    switch (static_cast<uint32_t>(code)) {
    case 0:
        return nullptr;
    case 0xA0600203:
    case 0xA250020D:
    case 0xA2500215:
        return "ERR_SSL_ROOT_CERT";
    case 0xA250001B:
    case 0xA2500204:
        return "ERR_CONNECTION_TIMEOUT";
    case 0xA2500200:
        return "ERR_TLS_ERROR";
    case 0xA2500202:
        return "ERR_SERVER_ERR";
    case 0xA250020A:
        return "ERR_SSL_CERT_NAME";
    case 0xA250020C:
        return "ERR_SSL_CERT_EXT";
    case 0xA2500214:
        return "ERR_UNKNOWN_HOST";
    default:
        return (static_cast<uint32_t>(code) & 0x2060) != 0 ? "ERR_TLS_ERROR" : "ERR_UNKNOWN_CONNECTION_ERR";
    }
}

HRESULT CModelCfgPolicy::SetStateByURLError(int code)
{
    const char* key = StatusTextKey(static_cast<HRESULT>(code));
    if (key == nullptr)
        return SetString(CFGPOLICY_STATUS, "OK");
    return SetString(CFGPOLICY_STATUS, ServiceText(key));
}

HRESULT CModelCfgPolicy::create_urlRef(const char* url, url_context** context, url_connection** connection)
{
    if (context == nullptr || connection == nullptr)
        return E_INVALIDARG;
    *context = nullptr;
    *connection = nullptr;
    ZELK_PTR(ZELK_IPolicy) policy;
    StringT<char> proxy;
    {
        CriticalCodeSection lock(&m_cs);
        policy = m_policy;
        proxy = Value(m_proxyUrl);
    }
    unsigned long timeout = 0;
    unsigned int checks = 0;
    if (policy) {
        timeout = policy->GetDWORD("networkTimeout");
        if (policy->GetDWORD("sslHostAlternativeNameCheck") != 0)
            checks |= URL_CHECK_ALT_NAMES;
        if (policy->GetDWORD("sslHostCommonNameCheck") != 0)
            checks |= URL_CHECK_COMMON_NAME;
        if (policy->GetDWORD("sslHostExtensionCheck") != 0)
            checks |= URL_CHECK_EXTENSIONS;
    }
    if (timeout == 0)
        timeout = kDefaultTimeout;
    if (!proxy.IsEmpty())
        String_Chop(proxy.GetBuffer(0));
    if (proxy.IsEmpty()) {
        ZELK_IPolicy* network = nullptr;
        if (ZELK_PolOpen("Network", &network) >= 0 && network != nullptr) {
            proxy = TrimmedString(network, "HTTPProxyURL");
            ZELK_PolClose(&network);
        }
    }

    AuxRefPtr<ASC> asc;
    if (FAILED(CPSEFactory::GetASC(&asc)) || !asc)
        return E_INVALIDARG;
    ssl_context* tls = nullptr;
    if (SUCCEEDED(asc->getSSLContext(&tls)) && tls != nullptr) {
        unsigned long options = 0;
        tls->GetOptions(&options);
        tls->SetOptions(options | kDownloadOption);
        tls->Initialize(SSL_SETTING_CLIENT_DEFAULTS);
        tls->Release();
    }
    if (FAILED(asc->createURLContext(context)) || *context == nullptr)
        return E_INVALIDARG;
    (*context)->setTimeout(timeout, 0);
    (*context)->createConnection(connection, 0);
    if (*connection == nullptr)
        return E_INVALIDARG;
    (*connection)->setNameChecks(checks);
    (*connection)->open(url, "1.0");
    (*connection)->addRequestHeader("Accept", "text/xml, application/json");
    if (!proxy.IsEmpty())
        (*connection)->setProxy(proxy, "1.0", 0, 0);
    return S_OK;
}

const char* CModelCfgPolicy::GetPolicyGroups()
{
    StringT<char> host;
    {
        CriticalCodeSection lock(&m_cs);
        if (m_groupListValid)
            return GroupNames();
        if (m_groupNames != nullptr)
            RetainedText::Retire(m_retiredNames, m_groupNames);
        m_groupNames = nullptr;
        host = Value(m_host);
    }

    const auto* urls = ZELK_ApiCast<SEC_URL_TABLE>(s_url);
    if (urls == nullptr) {
        SetDWORD(CFGPOLICY_STATUS, static_cast<unsigned int>(E_NOTIMPL));
        return nullptr;
    }
    char* scheme = nullptr;
    char* name = nullptr;
    char* port = nullptr;
    const HRESULT split = urls->split_url(host.IsEmpty() ? "" : static_cast<const char*>(host), &scheme, nullptr,
                                          nullptr, &name, &port, nullptr);
    StringT<char> schemeOwner, nameOwner, portOwner;
    schemeOwner.Attach(scheme);
    nameOwner.Attach(name);
    portOwner.Attach(port);
    if (FAILED(split)) {
        SetDWORD(CFGPOLICY_STATUS, static_cast<unsigned int>(split));
        return nullptr;
    }
    if (name != nullptr && *name != '\0') {
        StringT<char> rewritten(scheme != nullptr && *scheme != '\0' ? scheme : "https");
        rewritten += "://";
        rewritten += name;
        if (port != nullptr && *port != '\0') {
            rewritten += ":";
            rewritten += port;
        }
        host = rewritten;
        CriticalCodeSection lock(&m_cs);
        Change(m_host, host);
    }

    StringT<char> url(host);
    url += CFGPOLICY_GROUPS_PATH;
    url_context* context = nullptr;
    url_connection* connection = nullptr;
    HRESULT result = create_urlRef(url, &context, &connection);
    AuxRefPtr<url_context> contextOwner;
    contextOwner.Attach(context);
    AuxRefPtr<url_connection> connectionOwner;
    connectionOwner.Attach(connection);
    OctetString* body = nullptr;
    if (SUCCEEDED(result))
        result = connection->sendRequest(nullptr, &body);
    AuxPtr<OctetString> bodyOwner(body);
    if (FAILED(result)) {
        SetDWORD(CFGPOLICY_STATUS, static_cast<unsigned int>(result));
        return nullptr;
    }
    const char* line = connection->getStatusLine();
    if (line == nullptr || std::strncmp(line, "200", 3) != 0) {
        {
            CriticalCodeSection lock(&m_cs);
            m_status = static_cast<int32_t>(E_URL_SERVERERROR);
        }
        SetString(CFGPOLICY_STATUS, line);
        return nullptr;
    }

    // A reply that is no JSON object is the server's fault: the held reply
    // stays, and the list stays invalid.
    IJsonObject* reply = nullptr;
    const auto* json = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
    const OctetString empty {0, reinterpret_cast<unsigned char*>(const_cast<char*>(""))};
    if (json == nullptr || FAILED(json->json_parse(body != nullptr ? body : &empty, &reply)) || reply == nullptr
        || reply->getType() != JSON_TYPE_OBJECT) {
        if (reply != nullptr)
            reply->Release();
        SetDWORD(CFGPOLICY_STATUS, static_cast<unsigned int>(E_URL_SERVERERROR));
        return nullptr;
    }
    SetDWORD(CFGPOLICY_STATUS, 0);

    std::string names;
    const unsigned long count = reply->getMemberCount();
    for (unsigned long i = 0; i < count; ++i) {
        const char* member = reply->getMemberNameStatic(i);
        if (member == nullptr || *member == '\0')
            break;
        names.append(member);
        names.push_back('\0');
    }
    char* list = nullptr;
    if (!names.empty()) {
        list = static_cast<char*>(sec_malloc(names.size() + 1));
        if (list != nullptr) {
            std::memcpy(list, names.data(), names.size());
            list[names.size()] = '\0';
        }
    }
    CriticalCodeSection lock(&m_cs);
    m_reply.Attach(reply);
    if (m_groupNames != nullptr)
        RetainedText::Retire(m_retiredNames, m_groupNames);
    m_groupNames = list;
    m_groupListValid = true;
    return GroupNames();
}

}  // namespace ZELK::PSESVC
