#include "model_otp.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

#include "model_clock.h"
#include "qev_crypt.h"
#include "qev_mac.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"

namespace ZELK::PSESVC {
namespace {

CLoadAPI s_loadCrypto(nullptr, SEC_CRYPTO_API, &CModelTokenOTP::s_cryptoTable);

CZELK_CLASS s_class("zelk", "zelk.otp.tokens", &CSingletonFactoryImpl<CModelTokensOTP>::New);

constexpr uint64_t kStep = 30;
constexpr size_t kMaxKey = 32;

// The 5-bit value of a Base32 character, -1 for white space, -2 for any other.
int Base32Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a';
    if (c >= '2' && c <= '7')
        return c - '2' + 26;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r')
        return -1;
    return -2;
}

// Wipes the key whatever way the computation ends.
struct KeyBuffer {
    unsigned char bytes[kMaxKey] = {};
    ~KeyBuffer() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

}  // namespace

API_COMMON* CModelTokenOTP::s_cryptoTable = nullptr;

HRESULT DecodeOtpSecret(const char* text, unsigned char* out, size_t size, size_t* length)
{
    *length = 0;
    if (text == nullptr)
        return E_INVALIDARG;
    uint32_t bits = 0;
    unsigned count = 0;
    size_t written = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        int value = Base32Value(static_cast<unsigned char>(*p));
        if (value == -1)
            continue;
        if (value < 0) {
            OPENSSL_cleanse(out, size);
            bits = 0;
            return E_INVALIDARG;
        }
        bits = (bits << 5) | static_cast<uint32_t>(value);
        count += 5;
        if (count >= 8) {
            count -= 8;
            if (written == size) {
                OPENSSL_cleanse(out, size);
                bits = 0;
                return SEC_E_BUFFER_TOO_SMALL;
            }
            out[written++] = static_cast<unsigned char>(bits >> count);
            bits &= (1u << count) - 1;
        }
    }
    bits = 0;
    *length = written;
    return S_OK;
}

CModelTokenOTP::~CModelTokenOTP()
{
    sec_free(m_userName);
    if (m_secret != nullptr) {
        OPENSSL_cleanse(m_secret, std::strlen(m_secret));
        sec_free(m_secret);
    }
}

HRESULT CModelTokenOTP::New(const wchar_t* userName, const char* secret, CModelTokenOTP** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CModelTokenOTP>* token = nullptr;
    HRESULT hr = CComObject<CModelTokenOTP>::CreateInstance(&token);
    if (FAILED(hr))
        return hr;
    token->AddRef();
    if ((userName != nullptr && FAILED(String_Copy(userName, &token->m_userName)))
        || (secret != nullptr && FAILED(String_Copy(secret, &token->m_secret)))) {
        static_cast<IGUIModel*>(token)->Release();
        return E_OUTOFMEMORY;
    }
    *out = token;
    return S_OK;
}

HRESULT CModelTokenOTP::GetUserName(wchar_t** out)
{
    if (out == nullptr)
        return E_POINTER;
    return String_Copy(m_userName != nullptr ? m_userName : L"", out);
}

HRESULT CModelTokenOTP::GetOTP(char** code, unsigned long* secondsLeft, unsigned long* period)
{
    const uint64_t now = ModelClockNow();
    if (secondsLeft != nullptr)
        *secondsLeft = kStep - now % kStep;
    if (period != nullptr)
        *period = kStep;
    if (code == nullptr)
        return S_OK;
    *code = nullptr;

    KeyBuffer key;
    size_t keyLength = 0;
    HRESULT hr = DecodeOtpSecret(m_secret != nullptr ? m_secret : "", key.bytes, sizeof key.bytes, &keyLength);
    if (FAILED(hr))
        return hr;
    const auto* crypto = ZELK_ApiCast<SEC_CRYPTO_TABLE>(s_cryptoTable);
    if (crypto == nullptr || crypto->hmac == nullptr)
        return E_NOTIMPL;

    uint64_t counter = now / kStep;
    unsigned char message[8];
    for (int i = 7; i >= 0; --i) {
        message[i] = static_cast<unsigned char>(counter & 0xFF);
        counter >>= 8;
    }
    unsigned char mac[20];
    uint64_t macLength = sizeof mac;
    hr = crypto->hmac(SEC_MAC_HASH_SHA1, key.bytes, keyLength, message, sizeof message, mac, &macLength);
    if (FAILED(hr))
        return hr;
    if (macLength != sizeof mac)
        return E_FAIL;
    const unsigned offset = mac[19] & 0x0F;
    const uint32_t value = (static_cast<uint32_t>(mac[offset] & 0x7F) << 24)
                           | (static_cast<uint32_t>(mac[offset + 1]) << 16)
                           | (static_cast<uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
    OPENSSL_cleanse(mac, sizeof mac);
    auto* text = static_cast<char*>(sec_malloc(7));
    if (text == nullptr)
        return E_OUTOFMEMORY;
    std::snprintf(text, 7, "%06u", value % 1000000u);
    *code = text;
    return S_OK;
}

HRESULT CModelTokensOTP::Initialize()
{
    ZELK_IPolicy* policy = nullptr;
    if (FAILED(ZELK_PolOpen("OTP", &policy)) || policy == nullptr)
        return S_OK;
    char* userName = nullptr;
    char* secret = nullptr;
    ZELK_PolGetString(policy, "username", &userName);
    ZELK_PolGetString(policy, "secret", &secret);
    ZELK_PolClose(&policy);
    if (secret != nullptr && *secret != '\0') {
        wchar_t* wide = nullptr;
        String_Convert(userName != nullptr ? userName : "", &wide, 65001);
        CModelTokenOTP* token = nullptr;
        if (SUCCEEDED(CModelTokenOTP::New(wide != nullptr ? wide : L"", secret, &token))) {
            CriticalCodeSection lock(GetCriticalSection());
            m_elements.Add(token);
            static_cast<IGUIModel*>(token)->Release();
        }
        sec_free(wide);
    }
    if (secret != nullptr) {
        OPENSSL_cleanse(secret, std::strlen(secret));
        sec_free(secret);
    }
    sec_free(userName);
    return S_OK;
}

}  // namespace ZELK::PSESVC
