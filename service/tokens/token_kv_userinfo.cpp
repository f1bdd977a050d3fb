// The cached credentials of a profile token.
#include <openssl/crypto.h>

#include "token_kv.h"
#include "zelk_module.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_baseCore = nullptr;
CLoadAPI s_loadBaseCore("zelkbase", ZELKBASE_CORE_API, &s_baseCore);

void Wipe(AuxPtr<OctetString>& value)
{
    OctetString* bytes = value;
    if (bytes != nullptr && bytes->data != nullptr)
        OPENSSL_cleanse(bytes->data, bytes->length);
    value.Free();
}

}  // namespace

CToken_KV::CUserInfo::CUserInfo(bool scrambled)
{
    const auto* core = ZELK_ApiCast<ZELKBASE_CORE_TABLE>(s_baseCore);
    if (scrambled && core != nullptr && core->GenerateScrambler != nullptr)
        core->GenerateScrambler(128, &m_scrambler);
}

CToken_KV::CUserInfo::~CUserInfo()
{
    DeleteUserInfo();
}

HRESULT CToken_KV::CUserInfo::SetUserName(const wchar_t* name)
{
    m_userName = name;
    return S_OK;
}

HRESULT CToken_KV::CUserInfo::SetOldUserName(const wchar_t* name)
{
    m_oldUserName = name;
    return S_OK;
}

HRESULT CToken_KV::CUserInfo::DeleteUserNames()
{
    m_userName.Free();
    m_oldUserName.Free();
    return S_OK;
}

HRESULT CToken_KV::CUserInfo::DeleteUserInfo()
{
    DeleteUserNames();
    DeletePassword();
    DeleteKey();
    DeleteCerts();
    return S_OK;
}

bool CToken_KV::CUserInfo::HasCredentials()
{
    return !m_userName.IsEmpty() && HasPassword() && HasKey();
}

bool CToken_KV::CUserInfo::HasPassword()
{
    return !!m_password;
}

HRESULT CToken_KV::CUserInfo::SetPassword(const wchar_t* password)
{
    DeletePassword();
    if (password == nullptr)
        return S_OK;
    if (!m_scrambler)
        return E_FAIL;
    return m_scrambler->ScrambleString(password, &m_password);
}

HRESULT CToken_KV::CUserInfo::GetPassword(wchar_t** password)
{
    if (password == nullptr)
        return E_INVALIDARG;
    *password = nullptr;
    if (!m_scrambler || !HasPassword())
        return E_FAIL;
    return m_scrambler->UnscrambleString(m_password, password);
}

HRESULT CToken_KV::CUserInfo::DeletePassword()
{
    Wipe(m_password);
    return S_OK;
}

bool CToken_KV::CUserInfo::HasKey()
{
    return !!m_key;
}

HRESULT CToken_KV::CUserInfo::SetKey(OctetString* key)
{
    DeleteKey();
    if (key == nullptr)
        return S_OK;
    if (!m_scrambler)
        return E_FAIL;
    return m_scrambler->Scramble(key, &m_key);
}

HRESULT CToken_KV::CUserInfo::GetKey(OctetString** key)
{
    if (key == nullptr)
        return E_INVALIDARG;
    *key = nullptr;
    if (!m_scrambler || !HasKey())
        return E_FAIL;
    return m_scrambler->UnScramble(m_key, key);
}

HRESULT CToken_KV::CUserInfo::DeleteKey()
{
    Wipe(m_key);
    return S_OK;
}

bool CToken_KV::CUserInfo::HasCerts()
{
    return !!m_cert && !!m_caCerts;
}

OctetString* CToken_KV::CUserInfo::GetCert()
{
    return m_cert;
}

OctetString* CToken_KV::CUserInfo::GetCACerts()
{
    return m_caCerts;
}

OctetString* CToken_KV::CUserInfo::GetRootCert()
{
    return m_rootCert;
}

HRESULT CToken_KV::CUserInfo::DeleteCerts()
{
    m_cert.Free();
    m_caCerts.Free();
    m_rootCert.Free();
    return S_OK;
}

HRESULT CToken_KV::CUserInfo::SetFromKV(IKestrin* client)
{
    if (client == nullptr)
        return E_INVALIDARG;
    AuxPtr<OctetString> key;
    AuxPtr<OctetString> cert;
    AuxPtr<OctetString> caCerts;
    AuxPtr<OctetString> rootCert;
    HRESULT hr = client->Get_Token(&key, &cert, &caCerts, &rootCert);
    if (FAILED(hr)) {
        Wipe(key);
        return hr;
    }
    m_cert.Attach(cert.Detach());
    m_caCerts.Attach(caCerts.Detach());
    m_rootCert.Attach(rootCert.Detach());
    HRESULT keyResult = SetKey(key);
    Wipe(key);
    return FAILED(keyResult) ? keyResult : hr;
}

}  // namespace ZELK::PSESVC
