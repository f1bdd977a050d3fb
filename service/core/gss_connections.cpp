#include "gss_connections.h"

#include <cstring>
#include <string>

#include "../model/model_clients.h"
#include "../model/model_eom.h"
#include "../tokens/token_kerberos.h"
#include "../tokens/token_manager.h"
#include "applications.h"
#include "model_filter_certs.h"
#include "zelk_alloc.h"
#include "zelk_policy_client.h"
#include "zelk_ptr.h"
#include "zelk_secattribute.h"
#include "zelk_strings.h"
#include "zelk_stringset.h"
#include "zelk_text.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr const char* kGvx = "Common/GVX";

bool TokenURIs_contain_kerberos(const SET_OF_String* list)
{
    return SET_OF_String_contains_StartsWith(list, "kerberos") != 0;
}

bool TokenURIs_contain_eom(const SET_OF_String* list)
{
    return SET_OF_String_contains_StartsWith(list, "eom:") != 0;
}

bool TokenURIs_contain_x509(const SET_OF_String* list)
{
    return SET_OF_String_contains_StartsWith(list, "tok") != 0;
}

void TokenURIs_remove_eom(SET_OF_String** list)
{
    SET_OF_String_remove_StartsWith(list, "eom:");
}

unsigned PolicyNumber(ZELK_IPolicy* policy, const char* name)
{
    return policy != nullptr ? policy->GetDWORD(name) : 0;
}

std::string PolicyText(ZELK_IPolicy* policy, const char* name)
{
    if (policy == nullptr)
        return {};
    StringT<char> value(policy, name);
    return value.IsEmpty() ? std::string() : std::string(static_cast<const char*>(value));
}

std::string Utf8(const wchar_t* text)
{
    char* narrow = nullptr;
    String_Convert(text != nullptr ? text : L"", &narrow, 65001);
    std::string result = narrow != nullptr ? narrow : "";
    sec_free(narrow);
    return result;
}

// The text of "GssConfig": the kinds of credential the connection may use.
std::string GssConfig(bool kerberos, bool x509, bool eom, unsigned mode)
{
    std::string config = kerberos || x509 || eom ? "sr-ecdhe" : "cl-rsa";
    if (kerberos)
        config += ":kerberos";
    if (x509)
        config += ":cl-rsa";
    if (x509 && mode == 0)
        config += ":1993";
    return config;
}

// The exit flags of a session-key connection from the process lists of its
// configuration.
void SetExitFlags(CModelApplicationConnection* record, ZELK_IPolicy* configuration, std::string& processName)
{
    CModelClient* client = nullptr;
    if (FAILED(CModelClients::GetActiveClient(&client)) || client == nullptr)
        return;
    processName = Utf8(client->GetProcessName());
    std::string reauthList = PolicyText(configuration, "ServerSessionKeyReAuthAndInvalidateOnExit");
    std::string invalidateList = PolicyText(configuration, "ServerSessionKeyInvalidateOnExit");
    if (client->IsInProcessList(reauthList.c_str())) {
        record->m_reauthenticate = true;
        record->m_invalidateOnExit = true;
    } else if (client->IsInProcessList(invalidateList.c_str())) {
        record->m_reauthenticate = false;
        record->m_invalidateOnExit = true;
    } else {
        record->m_reauthenticate = false;
        record->m_invalidateOnExit = false;
    }
    static_cast<IGUIModelClient*>(client)->Release();
}

// A target a user logged in for is allowed manual server trust.
HRESULT AllowTrustAfterLogin(const char* target)
{
    CGssConnections* connections = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CGssConnections>::New(&connections);
    if (FAILED(hr) || connections == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    hr = connections->AllowManualServerTrust(target);
    static_cast<IUnknown*>(connections)->Release();
    return hr;
}

struct TrustTargetRegistration {
    TrustTargetRegistration() { CTokenMgr::SetTrustTargetSink(&AllowTrustAfterLogin); }
} s_trustTargets;

}  // namespace

std::string GssTargetText(SECAttribute* in)
{
    const DName* name = SECAttributeArray_GetDName(in, SEC_ATTR_TARGET_NAME);
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    if (name == nullptr || names == nullptr)
        return {};
    char* text = nullptr;
    std::string result;
    if (SUCCEEDED(names->to_text(name, &text)) && text != nullptr)
        result = text;
    sec_free(text);
    return result;
}

HRESULT GssFindConnection(SECAttribute* in, CModelApplicationConnection** out)
{
    *out = nullptr;
    auto number = static_cast<unsigned>(SECAttributeArray_GetInteger(in, SEC_ATTR_CONNECTION));
    CModelApplicationConnections::GetConnection(number, out);
    return *out != nullptr ? S_OK : E_FAIL;
}

HRESULT CGssConnections::DoGssAction(const char* action, SECAttribute* in, SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssAction");
    if (action == nullptr)
        return trace.result = S_OK;
    if (std::strcmp(action, "ConnectionStart") == 0)
        return trace.result = DoGssActionConnectionStart(in, out);
    CModelApplicationConnection* record = nullptr;
    if (FAILED(GssFindConnection(in, &record)))
        return trace.result = S_OK;
    using Action = HRESULT (CGssConnections::*)(CModelApplicationConnection*, SECAttribute*, SECAttribute*);
    static const struct {
        const char* name;
        Action action;
    } kActions[] = {
        {"ConnectionOpened", &CGssConnections::DoGssActionConnectionOpened},
        {"ConnectionClosed", &CGssConnections::DoGssActionConnectionClosed},
        {"ConnectionHandshakeError", &CGssConnections::DoGssActionConnectionHandshakeError},
        {"GetCredentials", &CGssConnections::DoGssActionGetCredentials},
        {"GetTempKey", &CGssConnections::DoGssActionGetTempKey},
        {"ManualServerTrust", &CGssConnections::DoGssActionManualServerTrust},
    };
    trace.result = S_OK;
    for (const auto& row : kActions) {
        if (std::strcmp(action, row.name) == 0) {
            trace.result = (this->*row.action)(record, in, out);
            break;
        }
    }
    static_cast<IGUIModelApplicationConnection*>(record)->Release();
    return trace.result;
}

HRESULT CGssConnections::GetTokenURIsByGSSTargetName(const char* target, SET_OF_String** uris, bool* reauth,
                                                     ZELK_IPolicy** configuration, ZELK_IPolicy** application)
{
    AuxRefPtr<CApplications> applications;
    CSingletonFactoryImpl<CApplications>::New(&applications);
    ZELK_PTR(ZELK_IPolicy) policy;
    ZELK_PTR(ZELK_IPolicy) chain;
    if (applications)
        applications->GetPolicyByGssTargetName(target, &policy, &chain, reauth);
    if (!policy)
        ZELK_PolOpen("/", &policy);
    AuxRefPtr<CTokenMgr> tokens;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    hr = tokens->GetTokenURIsByPolicy("/", policy, uris);
    if (FAILED(hr))
        return hr;
    if (configuration != nullptr) {
        if (!chain) {
            if (policy && String_Compare(policy->GetPath(), "/") != 0)
                chain = policy;
            else
                ZELK_PolOpen(kGvx, &chain);
        }
        *configuration = chain.Detach();
    }
    if (application != nullptr)
        *application = policy.Detach();
    return S_OK;
}

HRESULT CGssConnections::AllowManualServerTrust(const char* target)
{
    CriticalCodeSection lock(&m_cs);
    SET_OF_String* targets = m_trustTargets.Detach();
    HRESULT hr = SET_OF_String_add(&targets, target);
    m_trustTargets.Attach(targets);
    return hr;
}

HRESULT CGssConnections::DoGssActionConnectionStart(SECAttribute* in, SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionConnectionStart");
    trace.result = S_OK;
    const std::string target = GssTargetText(in);
    bool reauthentication = false;
    bool kerberos = false;
    bool x509 = true;
    AuxPtr<SET_OF_String> list;
    ZELK_PTR(ZELK_IPolicy) configuration;
    ZELK_PTR(ZELK_IPolicy) application;

    bool forced = false;
    {
        ZELK_PTR(IGUIModelEncryptionOnlyMode) eom;
        if (SUCCEEDED(CModelEncryptionOnlyMode::New<IGUIModelEncryptionOnlyMode>(&eom)) && eom)
            forced = eom->IsEncryptionOnlyModeActive();
    }
    if (!forced
        && FAILED(
            GetTokenURIsByGSSTargetName(target.c_str(), &list, &reauthentication, &configuration, &application))) {
        SECTRACE_WriteLn(
            nullptr, 2, "The Kestrin Client application policy is not valid!\nTrying encryption only mode as fallback");
        forced = true;
    }
    if (forced) {
        // A clone, so that the stored configuration keeps its mode.
        ZELK_PTR(ZELK_IPolicy) gvx;
        ZELK_PolOpen(kGvx, &gvx);
        ZELK_PTR(ZELK_IPolicy) clone;
        if (gvx)
            ZELK_PolGetTempClone(gvx, &clone);
        configuration = clone;
        if (configuration)
            configuration->SetDWORD("GVXMode", 2);
    }
    const unsigned sessionKeyMode = PolicyNumber(configuration, "ServerSessionKeyMode");
    const unsigned mode = PolicyNumber(configuration, "GVXMode");
    if (mode == 2)
        forced = true;
    if (SET_OF_String_count(list) == 0 || forced) {
        list.Free();
        SET_OF_String_add(&list, "eom:");
    }
    if (mode == 0) {
        SET_OF_String* uris = list.Detach();
        TokenURIs_remove_eom(&uris);
        list.Attach(uris);
    }
    kerberos = TokenURIs_contain_kerberos(list);
    const bool eomPossible = TokenURIs_contain_eom(list);
    x509 = TokenURIs_contain_x509(list);
    const std::string initialURI = SET_OF_String_count(list) == 1 && list->element != nullptr ? list->element : "";

    unsigned number = 0;
    CModelApplicationConnection* created = nullptr;
    if (FAILED(CModelClients::StartApplication(target.c_str(), initialURI.c_str(), &number, &created))
        || created == nullptr) {
        SECTRACE_FormatLn(nullptr, 2, "GSSConnection for '%s' can not be registered", target.c_str());
        return trace.result;
    }
    ZELK_PTR(IGUIModelApplicationConnection) hold;
    hold.Attach(created);
    CModelApplicationConnection* record = created;
    SECAttributeArray_SetInteger(out, SEC_ATTR_CONNECTION, number);

    ZELK_PTR(IGUIModelContainer) candidates;
    ModelFilterCerts::New(application, nullptr, nullptr, &candidates);
    record->SetCertificateContainer(candidates);
    record->SetTokenURIs(list.Detach());
    record->SetPolicy(application, configuration);
    {
        CModelApplicationConnection* again = nullptr;
        CModelApplicationConnections::GetConnection(number, &again);
        if (again != nullptr) {
            again->m_reauthentication = reauthentication;
            static_cast<IGUIModelApplicationConnection*>(again)->Release();
        }
    }

    if (mode == 1 && kerberos && x509 && PolicyNumber(configuration, "GVXModeSmartTryKerberosFirst") != 0) {
        SECTRACE_WriteLn(nullptr, 3,
                         "Both Kerberos and X.509 is available!\nTo ensure compatibility with servers which use a VQB "
                         "8.4 and have both enabled,we have to check before the handshake if Kerberos is possible, "
                         "otherwise the server will choose X.509");
        if (FAILED(DoGssActionGetCredentials_Kerberos(record, in, out))) {
            SECTRACE_WriteLn(nullptr, 3, "Disabling Kerberos");
            record->RemoveTokenURIsStartingWith("kerberos");
            kerberos = false;
        } else {
            SECTRACE_WriteLn(nullptr, 3, "Disabling X.509 for VQB 8.4 Servers");
            x509 = false;
        }
    }

    std::string processName;
    if (sessionKeyMode != 0) {
        record->m_sessionKeyMode = true;
        SetExitFlags(record, configuration, processName);
    }

    const std::string config = GssConfig(kerberos, x509, eomPossible, mode);
    SECAttributeArray_SetString(out, SEC_ATTR_CONNECTION_CONFIG, config.c_str());

    if (SECTRACE_Check(nullptr, 3)) {
        SECTRACE_FormatLn(nullptr, 3,
                          "GSSConnection #%d shall be established.\n  GssTargetName:        %s\n  Client-Process:  "
                          "     %s\nUsing the following configuration:\n  Application-Policy:   %s\n  TokenURI:        "
                          "     %s\n  GVXMode:              %d\n  ServerSessionKeyMode: %d\n    Reauth:             "
                          "%d\n    Invalidate on exit: %d\n  Kerberos:             %d\n  Reauth:               %d\n  "
                          "GssConfig:            %s",
                          number, target.c_str(), sessionKeyMode != 0 ? processName.c_str() : "<not used>",
                          configuration ? configuration->GetPath() : "", record->GetTokenURI(), mode, sessionKeyMode,
                          record->m_reauthenticate.load() ? 1 : 0, record->m_invalidateOnExit.load() ? 1 : 0,
                          kerberos ? 1 : 0, reauthentication ? 1 : 0, config.c_str());
    }
    return trace.result;
}

HRESULT CGssConnections::DoGssActionConnectionOpened(CModelApplicationConnection* record, SECAttribute* in,
                                                     SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionConnectionOpened");
    if (SECTRACE_Check(nullptr, 3)) {
        const char* info = SECAttributeArray_GetString(in, SEC_ATTR_HANDSHAKE_INFO);
        SECTRACE_FormatLn(nullptr, 3, "GSSConnection #%d has been established.\n  HandshakeInfo:        %s\n",
                          SECAttributeArray_GetInteger(in, SEC_ATTR_CONNECTION), info ? info : "<unkonwn>");
    }
    DoGssActionConnectionHandshakeDone(record, in, out);
    return trace.result = S_OK;
}

HRESULT CGssConnections::DoGssActionConnectionClosed(CModelApplicationConnection* record, SECAttribute* in,
                                                     SECAttribute*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionConnectionClosed");
    SECTRACE_FormatLn(nullptr, 3, "GSSConnection #%d has been closed.",
                      SECAttributeArray_GetInteger(in, SEC_ATTR_CONNECTION));
    record->ConnectionClosed();
    return trace.result = S_OK;
}

HRESULT CGssConnections::DoGssActionConnectionHandshakeError(CModelApplicationConnection* record, SECAttribute* in,
                                                             SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionConnectionHandshakeError");
    SECTRACE_FormatLn(nullptr, 2, "GSSConnection #%d handshake failed.",
                      SECAttributeArray_GetInteger(in, SEC_ATTR_CONNECTION));
    DoGssActionConnectionHandshakeDone(record, in, out);
    record->ConnectionClosed();
    return trace.result = S_OK;
}

HRESULT CGssConnections::DoGssActionConnectionHandshakeDone(CModelApplicationConnection* record, SECAttribute*,
                                                            SECAttribute*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionConnectionHandshakeDone");
    const std::string uri = record->GetTokenURI();
    if (uri != "kerberos:") {
        AuxRefPtr<CTokenMgr> tokens;
        AuxRefPtr<CToken> token;
        if (SUCCEEDED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens))
            && SUCCEEDED(tokens->GetTokenByName(uri.c_str(), &token)) && token)
            token->FinishedPrivateKeyOperation();
    } else {
        AuxRefPtr<CToken_Kerberos> kerberos;
        if (SUCCEEDED(CToken_Kerberos::New(&kerberos)) && kerberos)
            kerberos->Impersonate_End(false);
    }
    return trace.result = S_OK;
}

bool CGssConnections::DoGssActionManualServerTrust_IsAllowed(CModelApplicationConnection* record)
{
    const std::string target = Utf8(record->GetName());
    if (!target.empty()) {
        CriticalCodeSection lock(&m_cs);
        if (SET_OF_String_contains(m_trustTargets, target.c_str()) != 0)
            return true;
    }
    ZELK_PTR(ZELK_IPolicy) configuration;
    record->GetPolicy(nullptr, &configuration);
    return PolicyNumber(configuration, "gvxServerTrustPrompt") != 0;
}

HRESULT CGssConnections::DoGssActionManualServerTrust(CModelApplicationConnection* record, SECAttribute* in,
                                                      SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionManualServerTrust");
    trace.result = S_OK;
    if (!DoGssActionManualServerTrust_IsAllowed(record)) {
        SECAttributeArray_SetInteger(out, SEC_ATTR_MANUAL_TRUST, 0);
        return trace.result;
    }
    const SET_OF_Certificate* server = SECAttributeArray_GetSET_OF_Certificate(in, SEC_ATTR_SERVER_CERTIFICATES);
    const SEC_TYPE_TABLE* certificates = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    bool trusted = false;
    if (server != nullptr && server->element != nullptr && certificates != nullptr) {
        CriticalCodeSection lock(&m_cs);
        for (const SET_OF_Certificate* node = m_trustedCertificates; node != nullptr && !trusted; node = node->next)
            trusted = node->element != nullptr && certificates->compare(node->element, server->element) == 0;
    }
    SECAttributeArray_SetInteger(out, SEC_ATTR_MANUAL_TRUST, trusted ? 1 : 0);
    return trace.result;
}

}  // namespace ZELK::PSESVC
