// Link-time stand-ins for the token manager's token operations, over tokens
// with real keys.
#include "fake_broker_tokens.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "model/model_owncerts.h"
#include "qev_results.h"
#include "tokens/token_manager.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_strings.h"
#include "zelkpse_lists.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CToken;
using ZELK::PSESVC::IGUIVerb_Reason;

std::mutex s_mutex;
std::vector<std::string> s_calls;
std::map<std::string, std::vector<std::string>> s_uris;
std::vector<std::string> s_fallback;
HRESULT s_policyResult = S_OK;
HRESULT s_verbResult = S_OK;

void Record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.push_back(call);
}

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

class Token : public CToken {
public:
    ZELK_BEGIN_INTMAP(Token)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    ~Token() override
    {
        for (PersonalCertificateInfo* info : m_infos)
            Type(SEC_TYPE_PersonalCertificateInfo)->free(info);
        for (EVP_PKEY* key : m_keys)
            EVP_PKEY_free(key);
    }

    HRESULT GetPCI(SET_OF_PersonalCertificateInfo** cursor) override
    {
        cursor = ZELK::PSESVC::ListTail(cursor);
        for (PersonalCertificateInfo* info : m_infos)
            ZELK::PSESVC::AppendInfo(cursor, info);
        return S_OK;
    }
    HRESULT DoVerbByReason(IGUIVerb_Reason reason) override
    {
        Record(m_uri + " " + std::to_string(reason));
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_verbResult;
    }
    HRESULT FinishedPrivateKeyOperation() override
    {
        Record("done " + m_uri);
        return S_OK;
    }

    HRESULT SignWithKey(const char* keyId, const unsigned char* data, unsigned long length, unsigned char* out,
                        unsigned long* outLength)
    {
        EVP_PKEY* key = nullptr;
        for (size_t i = 0; i < m_infos.size(); ++i)
            if (keyId != nullptr && std::string(m_infos[i]->keyId) == keyId)
                key = m_keys[i];
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        size_t size = 0;
        if (key == nullptr || !context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1
            || EVP_DigestSign(context.get(), nullptr, &size, data, length) != 1)
            return E_FAIL;
        if (out == nullptr || *outLength < size) {
            *outLength = size;
            return E_COMMON_BUFFERTOOSMALL;
        }
        size = *outLength;
        if (EVP_DigestSign(context.get(), out, &size, data, length) != 1)
            return E_FAIL;
        *outLength = size;
        return S_OK;
    }

    std::string m_uri;
    // One key per certificate, named "key<index>".
    std::vector<PersonalCertificateInfo*> m_infos;
    std::vector<EVP_PKEY*> m_keys;
};

std::vector<CComObject<Token>*> s_tokens;

CComObject<Token>* FindToken(const char* uri)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    for (CComObject<Token>* token : s_tokens)
        if (uri != nullptr && token->m_uri == uri) {
            token->AddRef();
            return token;
        }
    return nullptr;
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

bool BrokerTokens::Add(const std::string& uri, const std::string& certificateFile, const std::string& keyFile)
{
    std::string der = FileBytes(certificateFile);
    OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(der.data())};
    void* certificate = nullptr;
    if (der.empty() || FAILED(Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate)))
        return false;
    std::FILE* file = std::fopen(keyFile.c_str(), "r");
    EVP_PKEY* key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    CComObject<Token>* token = FindToken(uri.c_str());
    const bool added = token == nullptr;
    if (added) {
        CComObject<Token>::CreateInstance(&token);
        token->AddRef();
        token->m_uri = uri;
    }
    const std::string keyId = "key" + std::to_string(token->m_infos.size());
    PersonalCertificateInfo info {};
    info.tokenName = const_cast<char*>(uri.c_str());
    info.keyId = const_cast<char*>(keyId.c_str());
    info.certificate = static_cast<Certificate*>(certificate);
    void* copy = nullptr;
    HRESULT hr = Type(SEC_TYPE_PersonalCertificateInfo)->copy(&info, &copy);
    Type(SEC_TYPE_Certificate)->free(certificate);
    if (key == nullptr || FAILED(hr)) {
        EVP_PKEY_free(key);
        token->Release();
        return false;
    }
    token->m_infos.push_back(static_cast<PersonalCertificateInfo*>(copy));
    token->m_keys.push_back(key);
    ZELK::PSESVC::CModelOwnCerts* own = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<ZELK::PSESVC::CModelOwnCerts>::New(&own)) && own != nullptr) {
        own->AddCert(static_cast<PersonalCertificateInfo*>(copy), uri.c_str(), nullptr, false);
        own->Release();
    }
    if (!added) {
        token->Release();
        return true;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    s_tokens.push_back(token);
    return true;
}

void BrokerTokens::Clear()
{
    std::vector<CComObject<Token>*> tokens;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        tokens.swap(s_tokens);
        s_calls.clear();
        s_uris.clear();
        s_fallback.clear();
        s_policyResult = S_OK;
        s_verbResult = S_OK;
    }
    for (CComObject<Token>* token : tokens)
        token->Release();
}

void BrokerTokens::SetURIs(const std::string& policyPath, const std::vector<std::string>& uris)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_uris[policyPath] = uris;
}

void BrokerTokens::SetFallbackURIs(const std::vector<std::string>& uris)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_fallback = uris;
}

void BrokerTokens::SetPolicyResult(HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_policyResult = result;
}

void BrokerTokens::SetVerbResult(HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_verbResult = result;
}

std::vector<std::string> BrokerTokens::Calls()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_calls;
}

size_t BrokerTokens::Count(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return static_cast<size_t>(std::count(s_calls.begin(), s_calls.end(), call));
}

PersonalCertificateInfo* BrokerTokens::Info(const std::string& uri, size_t index)
{
    CComObject<Token>* token = FindToken(uri.c_str());
    if (token == nullptr)
        return nullptr;
    PersonalCertificateInfo* info = index < token->m_infos.size() ? token->m_infos[index] : nullptr;
    if (info != nullptr)
        Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(info);
    token->Release();
    return info;
}

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

using kestrin::service::test::FindToken;

HRESULT CTokenMgr::GetTokenByName(const char*, SecToken** out)
{
    *out = nullptr;
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetTokenByName(const char* uri, CToken** out)
{
    *out = FindToken(uri);
    return *out ? S_OK : E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetPCI(SET_OF_PersonalCertificateInfo** cursor, SECAttribute*)
{
    std::vector<CComObject<kestrin::service::test::Token>*> tokens;
    {
        std::lock_guard<std::mutex> lock(kestrin::service::test::s_mutex);
        tokens = kestrin::service::test::s_tokens;
        for (auto* token : tokens)
            token->AddRef();
    }
    for (auto* token : tokens) {
        token->GetPCI(cursor);
        token->Release();
    }
    return S_OK;
}

HRESULT CTokenMgr::GetTokenURIsByPolicy(const char*, ZELK_IPolicy* policy, SET_OF_String** uris)
{
    *uris = nullptr;
    std::vector<std::string> list;
    {
        std::lock_guard<std::mutex> lock(kestrin::service::test::s_mutex);
        if (FAILED(kestrin::service::test::s_policyResult))
            return kestrin::service::test::s_policyResult;
        auto found = kestrin::service::test::s_uris.find(policy != nullptr ? policy->GetPath() : "");
        list = found != kestrin::service::test::s_uris.end() ? found->second : kestrin::service::test::s_fallback;
    }
    SET_OF_String** cursor = uris;
    for (const std::string& uri : list) {
        char* copy = nullptr;
        String_Copy(uri.c_str(), &copy);
        AppendNode(SEC_TYPE_SET_OF_String, cursor, copy);
    }
    return S_OK;
}

HRESULT CTokenMgr::GetTrustedCertList(SET_OF_Certificate**)
{
    return S_OK;
}

bool CTokenMgr::IsValidPolicy(ZELK_IPolicy*, char** description)
{
    if (description)
        *description = nullptr;
    return false;
}

HRESULT CTokenMgr::Sign(const char* uri, const char* keyId, const AlgId*, bool, const unsigned char* in,
                        unsigned long inLength, unsigned char* out, unsigned long* outLength, SECAttribute*)
{
    kestrin::service::test::Record("sign " + std::string(uri != nullptr ? uri : ""));
    CComObject<kestrin::service::test::Token>* token = FindToken(uri);
    if (token == nullptr)
        return E_TOKEN_NOTFOUND;
    HRESULT hr = token->SignWithKey(keyId, in, inLength, out, outLength);
    token->Release();
    return hr;
}

HRESULT CTokenMgr::Decrypt(const char*, const char*, const AlgId*, const unsigned char*, unsigned long, unsigned char*,
                           unsigned long*, SECAttribute*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::Login(const char*, const char*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::Logout(const char*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetIsEnrolled(const char*)
{
    return E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::CleanupPersistentTokens()
{
    return S_OK;
}

void CTokenMgr::SetTrustTargetSink(TrustTargetSink) {}

}  // namespace ZELK::PSESVC
