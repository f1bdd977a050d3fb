// The credential of a connection: a Kerberos ticket, an X.509 credential
// chosen among the candidates (by the user when several qualify) and logged
// in, or encryption-only, in the order the connection's mode gives.
#include <openssl/crypto.h>

#include <string>

#include "../model/model_certs.h"
#include "../model/model_clients.h"
#include "../model/model_tempkeys.h"
#include "../tokens/kerberos_util.h"
#include "../tokens/token_kerberos.h"
#include "../tokens/token_manager.h"
#include "gss_connections.h"
#include "model_filter_certs.h"
#include "qev_results.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_ptr.h"
#include "zelk_resloader.h"
#include "zelk_secattribute.h"
#include "zelk_stringset.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr HRESULT E_GSS_NOCREDENTIAL = ZELK_RC(0xA010001F);

unsigned PolicyNumber(ZELK_IPolicy* policy, const char* name)
{
    return policy != nullptr ? policy->GetDWORD(name) : 0;
}

const char* YesNo(bool flag)
{
    return flag ? "yes" : "no";
}

bool IsCancel(HRESULT hr)
{
    return hr == E_ABORT || (static_cast<uint32_t>(hr) & 0x8000FFFFu) == 0x80000019u;
}

// A Kerberos value, wiped before it is freed: the session key is a secret.
struct KerberosValue {
    OctetString* value = nullptr;
    ~KerberosValue()
    {
        if (value == nullptr)
            return;
        if (value->data != nullptr)
            OPENSSL_cleanse(value->data, static_cast<size_t>(value->length));
        if (const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString))
            table->free(value);
    }
};

std::wstring ResourceText(IResourceManager* resources, const char* key, const wchar_t* fallback)
{
    const wchar_t* text = resources != nullptr ? resources->GetW(key) : nullptr;
    return text != nullptr && *text != L'\0' ? text : fallback;
}

// The user's choice among several candidates: 0 and the element, the
// dialog's failure, or 0x80004005 when the dialog confirmed no element.
HRESULT SelectCandidate(IGUIModelContainer* candidates, IUnknown** selected)
{
    ZELK_PTR(IGUIModelContainer) alternative;
    ZELK_CreateObject("zelk", "zelk.model.localcerts.only", IID_IGUIModelContainer,
                      reinterpret_cast<void**>(&alternative));
    IUnknown* object = nullptr;
    HRESULT hr = ZELK_CreateObject("zelkgui", "zelk.dlgselection", IID_IUnknown, reinterpret_cast<void**>(&object));
    if (FAILED(hr) || object == nullptr) {
        SECTRACE_FormatLn(nullptr, 2, "The selection dialog can not be created: %8x", static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_FAIL;
    }
    ZELK_PTR(ISelectionUI) dialog;
    hr = object->QueryInterface(IID_ISelectionUI, reinterpret_cast<void**>(&dialog));
    object->Release();
    if (FAILED(hr))
        return hr;
    AuxRefPtr<IResourceManager> resources;
    GetResourceManager(L"zelkgui", &resources);
    const std::wstring caption = ResourceText(resources, "CAP_SELECT_AUTH_CERT", L"Select a certificate");
    const std::wstring text =
        ResourceText(resources, "SELECT_AUTH_CERT_DONT_STORE", L"Select the certificate for this connection:");
    const std::wstring none =
        ResourceText(resources, "SELECT_AUTH_CERT_NOT_AVAILABLE", L"No certificate is available.");
    hr = dialog->GuiSelectEx(caption.c_str(), text.c_str(), none.c_str(), candidates, alternative, selected);
    if (*selected != nullptr)
        return S_OK;
    // A confirmation without an element chose nothing: no candidate.
    return FAILED(hr) ? hr : E_FAIL;
}

// The own certificate of a chosen element: the element itself, or the first
// own certificate of a token row.
HRESULT OwnCertOf(IUnknown* element, IGUIModelOwnCert** out)
{
    *out = nullptr;
    if (SUCCEEDED(element->QueryInterface(IID_IGUIModelOwnCert, reinterpret_cast<void**>(out))) && *out != nullptr)
        return S_OK;
    ZELK_PTR(IGUIModelToken) token;
    if (SUCCEEDED(element->QueryInterface(IID_IGUIModelToken, reinterpret_cast<void**>(&token))) && token)
        token->GetOwnCert(0, out);
    return *out != nullptr ? S_OK : E_FAIL;
}

}  // namespace

HRESULT CGssConnections::DoGssActionGetCredentials(CModelApplicationConnection* record, SECAttribute* in,
                                                   SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionGetCredentials");
    ZELK_PTR(ZELK_IPolicy) configuration;
    record->GetPolicy(nullptr, &configuration);
    const bool kerberosFirst =
        PolicyNumber(configuration, "GVXModeSmartTryKerberosFirst") != 0 || PolicyNumber(configuration, "GVXMode") != 1;
    const bool serverKerberos = SECAttributeArray_FindAttribute(out, SEC_ATTR_KERBEROS_TICKET) != nullptr;
    const bool serverX509 = SECAttributeArray_FindAttribute(out, SEC_ATTR_CREDENTIAL) != nullptr;
    const bool serverEom = SECAttributeArray_FindAttribute(in, SEC_ATTR_ENCRYPTION_ONLY) != nullptr
                           && SECAttributeArray_GetInteger(in, SEC_ATTR_ENCRYPTION_ONLY) == 0;
    const bool clientKerberos = record->HasTokenURIStartingWith("kerberos");
    const bool clientX509 = record->HasTokenURIStartingWith("tok");
    const bool clientEom = record->HasTokenURIStartingWith("eom:");

    if (SECTRACE_Check(nullptr, 3)) {
        SECTRACE_FormatLn(nullptr, 3,
                          "GSSConnection #%d needs a credential.\nServer accepts:\n  Kerberos:       %s\n  X.509:   "
                          "       %s\n  EncryptionOnly: %s\nClient configuration allows:\n  Kerberos:       %s\n  "
                          "X.509:          %s\n  EncryptionOnly: %s\n",
                          SECAttributeArray_GetInteger(in, SEC_ATTR_CONNECTION), YesNo(serverKerberos),
                          YesNo(serverX509), YesNo(serverEom), YesNo(clientKerberos), YesNo(clientX509),
                          YesNo(clientEom));
        if (SECTRACE_Check(nullptr, 4)) {
            SECTRACE_WriteLn(nullptr, 4, "Client has the following tokens:");
            AuxPtr<SET_OF_String> uris;
            record->GetTokenURIs(&uris);
            for (const SET_OF_String* node = uris; node != nullptr; node = node->next)
                SECTRACE_FormatLn(nullptr, 3, "  '%s'",
                                  node->element != nullptr && *node->element != '\0' ? node->element : "<null>");
        }
    }

    HRESULT last = S_OK;
    if (kerberosFirst && clientKerberos && serverKerberos) {
        last = DoGssActionGetCredentials_Kerberos(record, in, out);
        if (SUCCEEDED(last))
            return trace.result = last;
    }
    if (clientX509 && serverX509) {
        SECTRACE_WriteLn(nullptr, 4, "searching for a usable X.509 certificate...");
        last = DoGssActionGetCredentials_X509(record, in, out);
        if (SUCCEEDED(last)) {
            AuxPtr<PersonalCertificateInfo> selected;
            record->GetSelectedPCI(&selected);
            const char* uri = selected && selected->tokenName != nullptr && *selected->tokenName != '\0'
                                  ? selected->tokenName
                                  : "<unknown>";
            SECTRACE_FormatLn(nullptr, 3, "Using a X.509 certificate as credential:\nTokenURI:             %s", uri);
            return trace.result = last;
        }
        SECTRACE_WriteLn(nullptr, 4, "found no usable X.509 certificate");
    }
    if (!kerberosFirst && clientKerberos && serverKerberos) {
        last = DoGssActionGetCredentials_Kerberos(record, in, out);
        if (SUCCEEDED(last))
            return trace.result = last;
    }
    if (serverEom) {
        SECTRACE_WriteLn(nullptr, 3, "Using encryption only mode");
        record->SetTokenURI("eom:");
        return trace.result = S_OK;
    }
    if (IsCancel(last))
        return trace.result = E_PSE_CANCELLED;
    SECTRACE_WriteLn(nullptr, 2, "Found no usable authentication mechanism");
    return trace.result = S_OK;
}

HRESULT CGssConnections::DoGssActionGetCredentials_Kerberos(CModelApplicationConnection* record, SECAttribute* in,
                                                            SECAttribute* out)
{
    const std::string name = GssTargetText(in);
    char* subject = nullptr;
    char* parsed = nullptr;
    KerbUtil_parseKerberosName(name.c_str(), &subject, &parsed);
    const std::string principal = parsed != nullptr && *parsed != '\0' ? parsed : name;
    sec_free(subject);
    sec_free(parsed);
    SECTRACE_FormatLn(nullptr, 4, "Trying to get a Kerberos ticket for '%s'...", principal.c_str());

    AuxRefPtr<CToken_Kerberos> kerberos;
    if (FAILED(CToken_Kerberos::New(&kerberos)) || !kerberos) {
        SECTRACE_WriteLn(nullptr, 4, "Kerberos is not enabled");
        return E_NOTIMPL;
    }
    const bool reauthentication = record->m_reauthentication.load();
    if (reauthentication || !kerberos->IsDomainUser()) {
        SECTRACE_WriteLn(nullptr, 4, reauthentication ? "reauthentication forced" : "login required");
        HRESULT hr = CToken::DoVerbByName(kerberos, "verb.reauth");
        if (FAILED(hr)) {
            SECTRACE_WriteLn(nullptr, 4, "Login failed");
            return hr;
        }
    }
    KerberosValue ticket;
    KerberosValue sessionKey;
    KerberosAlgorithmIdentifier algorithm = 0;
    HRESULT hr = kerberos->CreateTicket(principal.c_str(), &ticket.value, &sessionKey.value, &algorithm);
    if (FAILED(hr)) {
        SECTRACE_WriteLn(nullptr, 4, "failed to get a Kerberos ticket");
        return hr;
    }
    SECTRACE_WriteLn(nullptr, 3, "Using Kerberos as credential");
    SECAttributeArray_SetOctetString(out, SEC_ATTR_KERBEROS_TICKET, ticket.value);
    SECAttributeArray_SetOctetString(out, SEC_ATTR_KERBEROS_SESSION_KEY, sessionKey.value);
    SECAttributeArray_SetInteger(out, SEC_ATTR_KERBEROS_KEY_ALGORITHM, algorithm);
    record->SetTokenURI("kerberos:");
    return hr;
}

HRESULT CGssConnections::DoGssActionGetCredentials_X509(CModelApplicationConnection* record, SECAttribute* in,
                                                        SECAttribute* out)
{
    AuxPtr<PersonalCertificateInfo> selected;
    record->GetSelectedPCI(&selected);
    if (!selected && record->m_sessionKeyMode.load()) {
        // A temporary key with cached signatures stands for its certificate:
        // a reconnection needs neither the token nor the user.
        DoGssActionGetTempKey(record, nullptr, nullptr);
        AuxRefPtr<CModelApplicationTempKey> key;
        record->GetTempKey(&key);
        AuxPtr<PersonalCertificateInfo> reused;
        if (key)
            key->GetPCI(&reused);
        if (reused && key->HasValidCachedSignatures()) {
            record->SetSelectedPCI(reused);
            record->SetTokenURI(reused->tokenName);
        }
        record->GetSelectedPCI(&selected);
    }
    if (!selected) {
        HRESULT hr = DoGssActionGetCredentials_X509_ChooseToken(record, in, out);
        if (FAILED(hr))
            return hr;
        record->GetSelectedPCI(&selected);
        if (!selected)
            return E_GSS_NOCREDENTIAL;
    }
    SECAttributeArray_SetPersonalCertificateInfo(out, SEC_ATTR_CREDENTIAL, selected);
    SECAttributeArray_SetInteger(out, SEC_ATTR_CREDENTIAL_TEMP_KEYS, record->m_sessionKeyMode.load() ? 1 : 0);
    return S_OK;
}

HRESULT CGssConnections::DoGssActionGetCredentials_X509_ChooseToken(CModelApplicationConnection* record,
                                                                    SECAttribute* in, SECAttribute*)
{
    std::string uri = record->GetTokenURI();
    // The own certificate the user (or the only candidate) chose; none when
    // the token came with the connection's start.
    ZELK_PTR(IGUIModelOwnCert) chosen;
    if (uri.empty()) {
        AuxPtr<SET_OF_String> uris;
        record->GetTokenURIs(&uris);
        ZELK_PTR(ZELK_IPolicy) application;
        record->GetPolicy(&application, nullptr);
        ZELK_PTR(IGUIModelContainer) candidates;
        ModelFilterCerts::New(application, uris, SECAttributeArray_GetSET_OF_DName(in, SEC_ATTR_ROOT_ISSUERS),
                              &candidates);
        record->SetCertificateContainer(candidates);
        const uint64_t count = candidates ? candidates->GetElementCount() : 0;
        if (count == 0)
            return E_FAIL;
        ZELK_PTR(IUnknown) element;
        if (count == 1) {
            candidates->GetElement(0, IID_IUnknown, reinterpret_cast<void**>(&element));
        } else {
            HRESULT hr = SelectCandidate(candidates, &element);
            if (FAILED(hr))
                return hr;
        }
        if (!element || FAILED(OwnCertOf(element, &chosen)))
            return E_FAIL;
        uri = chosen->GetURI() != nullptr ? chosen->GetURI() : "";
    }

    AuxRefPtr<CTokenMgr> tokens;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    AuxRefPtr<CToken> token;
    hr = tokens->GetTokenByName(uri.c_str(), &token);
    if (FAILED(hr))
        return hr;
    if (!token)
        return E_TOKEN_NOTFOUND;
    hr = token->DoVerbByReason(record->m_reauthentication.load() ? IGUIVerb_Reason_Reauth : IGUIVerb_Reason_Login);
    if (FAILED(hr))
        return hr;
    // A forced new authentication happens once per connection.
    record->m_reauthentication = false;
    record->SetTokenURI(uri.c_str());

    AuxPtr<SET_OF_PersonalCertificateInfo> certificates;
    hr = record->GetPCI(&certificates, nullptr);
    if (FAILED(hr))
        return hr;
    if (!certificates || certificates->element == nullptr)
        return E_GSS_NOCREDENTIAL;
    AuxPtr<PersonalCertificateInfo> selected;
    record->GetSelectedPCI(&selected);
    if (!selected) {
        // The user's choice stands; the token's first certificate only serves
        // a token named by the connection's start.
        const PersonalCertificateInfo* pick = chosen ? chosen->GetPCI() : certificates->element;
        record->SetSelectedPCI(const_cast<PersonalCertificateInfo*>(pick));
    }
    return S_OK;
}

}  // namespace ZELK::PSESVC
