// The token manager's operations by token URI and over the own certificates
// of all tokens. They read snapshots of the lists taken under the lock, and
// call the tokens without it.
#include "../core/zelkpse_lists.h"
#include "qev_results.h"
#include "token_manager.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

CToken* CTokenMgr::FindByUrl(const AuxRefArray<CToken>& tokens, const char* uri)
{
    if (uri == nullptr)
        return nullptr;
    for (uint64_t i = 0; i < tokens.Count(); ++i) {
        const char* url = nullptr;
        if (SUCCEEDED(tokens[i]->GetTokenUrl(&url)) && url != nullptr && String_Compare(url, uri) == 0) {
            tokens[i]->AddRef();
            return tokens[i];
        }
    }
    return nullptr;
}

HRESULT CTokenMgr::GetTokenByName(const char* uri, CToken** out)
{
    if (out)
        *out = nullptr;
    AuxRefArray<CToken> tokens;
    Snapshot(m_csTokens, m_apTokens, tokens);
    CToken* token = FindByUrl(tokens, uri);
    if (token == nullptr)
        return E_TOKEN_NOTFOUND;
    if (out)
        *out = token;
    else
        token->Release();
    return S_OK;
}

HRESULT CTokenMgr::GetTokenByName(const char* uri, SecToken** out)
{
    if (out)
        *out = nullptr;
    WaitForAllMonitors();
    CToken* token = nullptr;
    if (GetTokenByName(uri, &token) != S_OK)
        return E_TOKEN_NOTFOUND;
    HRESULT hr = token->GetToken(out);
    token->Release();
    return hr;
}

HRESULT CTokenMgr::GetPCI(SET_OF_PersonalCertificateInfo** list, SECAttribute*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::GetPCI");
    if (list == nullptr)
        return trace.result = E_POINTER;
    WaitForAllMonitors();
    AuxRefArray<CToken> tokens;
    Snapshot(m_csTokens, m_apTokens, tokens);
    for (uint64_t i = 0; i < tokens.Count(); ++i) {
        SECTRACE_FormatLn(nullptr, 4, "m_apTokens[%d]->GetPCI()", static_cast<int>(i));
        tokens[i]->GetPCI(list);
    }
    return trace.result = S_OK;
}

HRESULT CTokenMgr::GetTrustedCertList(SET_OF_Certificate** list)
{
    if (list == nullptr)
        return E_POINTER;
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    GetPCI(&infos, nullptr);
    SET_OF_Certificate** cursor = ListTail(list);
    SET_OF_Certificate** first = cursor;
    for (SET_OF_PersonalCertificateInfo* node = infos; node != nullptr; node = node->next) {
        Certificate* extra = node->element != nullptr ? node->element->pathEnd : nullptr;
        if (extra == nullptr)
            continue;
        bool seen = false;
        for (SET_OF_Certificate* added = *first; added != nullptr && !seen; added = added->next)
            seen = added->element != nullptr && added->element->cmp(extra) == 0;
        if (!seen)
            AppendCertificate(cursor, extra);
    }
    FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, infos);
    return S_OK;
}

HRESULT CTokenMgr::Sign(const char* uri, const char* keyId, const AlgId* algorithm, bool flag, const unsigned char* in,
                        unsigned long inLength, unsigned char* out, unsigned long* outLength, SECAttribute* attributes)
{
    WaitForAllMonitors();
    AuxRefArray<CToken> tokens;
    Snapshot(m_csTokens, m_apTokens, tokens);
    CToken* token = FindByUrl(tokens, uri);
    if (token == nullptr) {
        AuxRefArray<CToken> forced;
        Snapshot(m_csTokens, m_apForcedTokens, forced);
        token = FindByUrl(forced, uri);
    }
    if (token == nullptr)
        return E_TOKEN_NOTFOUND;
    HRESULT hr = token->Sign(keyId, algorithm, flag, in, inLength, out, outLength, attributes);
    token->Release();
    return hr;
}

HRESULT CTokenMgr::Decrypt(const char* uri, const char* keyId, const AlgId* algorithm, const unsigned char* in,
                           unsigned long inLength, unsigned char* out, unsigned long* outLength,
                           SECAttribute* attributes)
{
    WaitForAllMonitors();
    CToken* token = nullptr;
    if (GetTokenByName(uri, &token) != S_OK)
        return E_TOKEN_NOTFOUND;
    HRESULT hr = token->Decrypt(keyId, algorithm, in, inLength, out, outLength, attributes);
    token->Release();
    return hr;
}

HRESULT CTokenMgr::CleanupPersistentTokens()
{
    return S_OK;
}

}  // namespace ZELK::PSESVC
