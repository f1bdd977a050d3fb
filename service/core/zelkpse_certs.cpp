// The service PSE's own certificates: the tokens' certificate infos through
// the filter (or, for the signature layer, those of the token it logs in),
// then the real PSE's; the certificate search over the trust store and the
// tokens' certificates; the certificate info list.
#include <cstring>
#include <string>

#include "../model/model_clients.h"
#include "../tokens/token_manager.h"
#include "../tokens/trust.h"
#include "gss_connections.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "zelk_resloader.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"
#include "zelk_utf.h"
#include "zelkpse.h"
#include "zelkpse_lists.h"

namespace ZELK::PSESVC {
namespace {

bool IsCancel(HRESULT hr)
{
    return hr == ZELK_RC(0x80000007) || hr == CREDUI_E_CANCELLED;
}

std::wstring Wide(const char* text)
{
    std::wstring out;
    if (text == nullptr)
        return out;
    size_t length = std::strlen(text);
    size_t i = 0;
    while (i < length) {
        uint32_t c = 0;
        bool valid = false;
        size_t used = kestrin::runtime::DecodeUtf8(text + i, &c, &valid);
        if (used == 0)
            break;
        out += valid ? static_cast<wchar_t>(c) : L'\uFFFD';
        i += used;
    }
    return out;
}

std::wstring ResourceText(IResourceManager* resources, const char* key, const wchar_t* fallback)
{
    const wchar_t* text = resources ? resources->GetW(key) : nullptr;
    return text && *text ? text : fallback;
}

// The question before a new authentication for a signature.
HRESULT AskForSignature(ICredUI* dialog, CModelClient* client)
{
    AuxRefPtr<IResourceManager> resources;
    GetResourceManager(L"zelkgui", &resources);
    std::wstring text = ResourceText(resources, "DLG_CRED_PERFORM_SIGNATURE",
                                     L"The following website wants to perform a digital signature:");
    text += L"\n\n";
    text += Wide(client->GetURL());
    const char* description = client->GetDescription();
    if (description != nullptr && *description != 0) {
        text += L"\n\n";
        text += Wide(description);
    }
    dialog->GuiUpdate(ICredUI::GUIITEM_TITLE,
                      ResourceText(resources, "DLG_CRED_DIGITAL_SIGNATURE", L"Digital Signature").c_str(), 0);
    dialog->GuiUpdate(ICredUI::GUIITEM_OKTITLE, ResourceText(resources, "DLG_CRED_SIGN", L"Sign").c_str(), 0);
    return dialog->GuiAsk(text.c_str(), nullptr, nullptr, nullptr, nullptr);
}

bool IsSignatureLayer(const char* caller)
{
    return caller != nullptr && (std::strcmp(caller, "MZT") == 0 || std::strncmp(caller, "MZT.", 4) == 0);
}

}  // namespace

bool ZELKPSE::InTokenFilter(const char* uri) const
{
    size_t count = m_tokenFilter.Count();
    if (count == 0)
        return true;
    for (size_t i = 0; i < count; ++i) {
        const char* entry = m_tokenFilter.Get(i);
        if (entry != nullptr && uri != nullptr && std::strcmp(entry, uri) == 0)
            return true;
    }
    return false;
}

HRESULT ZELKPSE::getOwnCertificate(const History* history, SECAttribute* filter, SET_OF_PersonalCertificateInfo** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getOwnCertificate");
    if (out == nullptr)
        return trace.result = E_INVALIDARG;
    needRealPSE(true);
    if (SECAttributeArray_GetInteger(filter, SEC_ATTR_CONNECTION) != 0) {
        AuxRefPtr<CGssConnections> broker;
        trace.result = CSingletonFactoryImpl<CGssConnections>::New(&broker);
        if (FAILED(trace.result))
            return trace.result;
        trace.result = broker->getOwnCertificate(filter, out);
        if (trace.result != S_FALSE)
            return trace.result;
    }
    bool signatureLayer = IsSignatureLayer(SECAttributeArray_GetString(filter, SEC_ATTR_CALLER));
    const char* uri = SECAttributeArray_GetString(filter, SEC_ATTR_TOKEN_URI);

    AuxRefPtr<CTokenMgr> tokens;
    trace.result = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(trace.result))
        return trace.result;
    SET_OF_PersonalCertificateInfo* collected = nullptr;
    if (!(signatureLayer && uri != nullptr && std::strncmp(uri, "toksw:", 6) == 0))
        tokens->GetPCI(&collected, filter);

    SET_OF_PersonalCertificateInfo** cursor = ListTail(out);
    if (signatureLayer) {
        bool decided = false;
        trace.result = SignatureLayerCertificates(filter, collected, cursor, decided);
        if (decided) {
            FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, collected);
            return trace.result;
        }
    }
    for (SET_OF_PersonalCertificateInfo* node = collected; node != nullptr; node = node->next) {
        PersonalCertificateInfo* info = node->element;
        if (info == nullptr || !InTokenFilter(info->tokenName) || !sec_store_test_own_Certificate(info, filter))
            continue;
        SECTRACE_FormatLnEx(nullptr, 4, 0, "Using token URI: [%s]", info->tokenName ? info->tokenName : "");
        if (FAILED(AppendInfo(cursor, info)))
            break;
    }
    FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, collected);
    PSE* real = m_realPSE.load();
    if (real == nullptr)
        return trace.result = S_OK;
    return trace.result = real->getOwnCertificate(history, filter, cursor);
}

HRESULT ZELKPSE::SignatureLayerCertificates(SECAttribute* filter, SET_OF_PersonalCertificateInfo* collected,
                                            SET_OF_PersonalCertificateInfo** cursor, bool& decided)
{
    decided = false;
    bool reauth = SECAttributeArray_FindAttribute(filter, SEC_ATTR_REAUTHENTICATE) != nullptr;
    const DName* subject = SECAttributeArray_GetDName(filter, SEC_ATTR_SUBJECT_NAME);
    const char* uri = SECAttributeArray_GetString(filter, SEC_ATTR_TOKEN_URI);
    AuxRefPtr<CModelClient> client;
    CModelClients::GetActiveClient(&client);
    AuxRefPtr<ICredUI> dialog;
    if (client)
        client->GetCredUi(&dialog);

    AuxRefPtr<CTokenMgr> tokens;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    AuxRefPtr<CToken> token;
    if (subject == nullptr && uri == nullptr) {
        SET_OF_String* uris = nullptr;
        tokens->GetTokenURIsByPolicy(nullptr, nullptr, &uris);
        for (SET_OF_String* node = uris; node != nullptr && !token; node = node->next)
            if (node->element != nullptr && FAILED(tokens->GetTokenByName(node->element, &token)))
                token.Free();
        FreeList(SEC_TYPE_SET_OF_String, uris);
        if (!token) {
            decided = true;
            return E_PSE_NOTOKEN;
        }
    } else if (collected == nullptr) {
        if (uri != nullptr && FAILED(tokens->GetTokenByName(uri, &token)))
            token.Free();
    } else {
        for (SET_OF_PersonalCertificateInfo* node = collected; node != nullptr && !token; node = node->next) {
            PersonalCertificateInfo* info = node->element;
            if (info == nullptr || info->tokenName == nullptr || !sec_store_test_own_Certificate(info, filter))
                continue;
            if (FAILED(tokens->GetTokenByName(info->tokenName, &token)))
                token.Free();
        }
    }
    if (!token)
        return S_OK;

    decided = true;
    IGUIVerb_Reason reason = reauth ? IGUIVerb_Reason_Reauth : IGUIVerb_Reason_Login;
    HRESULT answer = S_OK;
    if (!dialog) {
        answer = token->DoVerbByReason(reason);
    } else {
        token->UiUpdateProfile(dialog);
        if (reauth) {
            answer = AskForSignature(dialog, client);
            if (IsCancel(answer))
                return E_PSE_CANCELLED;
        }
        AuxRefPtr<IGUIVerb> verb;
        token->GetVerbByReason(reason, &verb);
        if (verb)
            answer = verb->DoVerb(dialog);
    }
    if (IsCancel(answer))
        return E_PSE_CANCELLED;
    return token->GetPCI(cursor);
}

HRESULT ZELKPSE::searchCertificate(SECAttribute* filter, SET_OF_Certificate** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::searchCertificate");
    if (out == nullptr)
        return trace.result = E_INVALIDARG;
    needRealPSE(true);
    const DName* issuer = nullptr;
    const DName* subject = nullptr;
    const OctetString* serial = nullptr;
    const SEC_TYPE_TABLE* names = SEC_TypeTable(fptr__common_types, SEC_TYPE_DName);
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    for (SECAttribute* entry = filter; entry != nullptr; entry = entry->next) {
        switch (entry->id) {
        case SEC_ATTR_ISSUER:
            issuer = SECAttributeArray_GetDName(entry, entry->id);
            break;
        case SEC_ATTR_SUBJECT:
        case SEC_ATTR_SUBJECT_NAME:
            subject = SECAttributeArray_GetDName(entry, entry->id);
            break;
        case SEC_ATTR_SERIAL:
            serial = static_cast<const OctetString*>(entry->type == nullptr || entry->type == octets ? entry->value
                                                                                                     : nullptr);
            break;
        default:
            continue;
        }
        // The real PSE does not evaluate it again.
        entry->answered = 1;
    }
    auto same = [](const SEC_TYPE_TABLE* table, const void* wanted, const void* have) {
        return wanted == nullptr || (have != nullptr && table != nullptr && table->compare(wanted, have) == 0);
    };
    // Names with the same encoding are equal without the library decoding them.
    auto sameName = [&](const DName* wanted, const DName* have) {
        if (wanted != nullptr && have != nullptr && wanted->length == have->length
            && (wanted->length == 0 || std::memcmp(wanted->der, have->der, wanted->length) == 0))
            return true;
        return same(names, wanted, have);
    };
    auto matches = [&](Certificate* certificate) {
        return certificate != nullptr && sameName(subject, certificate->getSubject())
               && sameName(issuer, certificate->getIssuer()) && same(octets, serial, certificate->getSerialNumber());
    };

    SET_OF_Certificate** cursor = ListTail(out);
    AuxRefPtr<CTrust> trust;
    if (SUCCEEDED(CSingletonFactoryImpl<CTrust>::New(&trust))) {
        SET_OF_Certificate* trusted = nullptr;
        trust->getAllTrustedCerts(&trusted);
        for (SET_OF_Certificate* node = trusted; node != nullptr; node = node->next)
            if (matches(node->element))
                AppendCertificate(cursor, node->element);
        FreeList(SEC_TYPE_SET_OF_Certificate, trusted);
    }
    AuxRefPtr<CTokenMgr> tokens;
    if (SUCCEEDED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens))) {
        SET_OF_PersonalCertificateInfo* infos = nullptr;
        tokens->GetPCI(&infos, nullptr);
        for (SET_OF_PersonalCertificateInfo* node = infos; node != nullptr; node = node->next) {
            PersonalCertificateInfo* info = node->element;
            if (info == nullptr)
                continue;
            if (matches(info->certificate))
                AppendCertificate(cursor, info->certificate);
            for (SEQUENCE_OF_Certificate* chain = info->path; chain != nullptr; chain = chain->next)
                if (matches(chain->element))
                    AppendCertificate(cursor, chain->element);
        }
        FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, infos);
    }
    PSE* real = m_realPSE.load();
    if (real == nullptr)
        return trace.result = S_OK;
    return trace.result = real->searchCertificate(filter, cursor);
}

HRESULT ZELKPSE::getCertInfoList(SET_OF_PersonalCertificateInfo** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getCertInfoList");
    if (out == nullptr)
        return trace.result = E_INVALIDARG;
    needRealPSE(true);
    AuxRefPtr<CTokenMgr> tokens;
    trace.result = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(trace.result))
        return trace.result;
    tokens->GetPCI(ListTail(out), nullptr);
    return trace.result = S_OK;
}

}  // namespace ZELK::PSESVC
