// One-time-password tokens: the token of the configuration's "OTP" key,
// which answers the current six-digit time-based code (HMAC-SHA-1, 30-second
// steps), and the list "zelk.otp.tokens" that holds it.
#pragma once

#include "gui_model_container.h"
#include "gui_verb.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_IGUIModelTokenOTP, 0x4F84E243, 0xA8B3, 0x468D, 0xB7, 0xC2, 0x3C, 0x66, 0x89, 0x56, 0x4F, 0x9A);
ZELK_DEFINE_GUID(IID_CModelTokenOTP, 0x9FD4A698, 0x57B2, 0x46AA, 0x90, 0x1A, 0x32, 0x0B, 0x9D, 0x9D, 0xB6, 0x80);
ZELK_DEFINE_GUID(IID_IGUIModelTokensOTP, 0x55097FAA, 0xEE05, 0x476B, 0xB2, 0x72, 0x33, 0x4B, 0xF6, 0xA0, 0x46, 0x3B);
ZELK_DEFINE_GUID(IID_CModelTokensOTP, 0xE1608921, 0xFCF6, 0x4336, 0xAF, 0x54, 0xCE, 0x83, 0x7B, 0x20, 0x39, 0x6F);

namespace ZELK::PSESVC {

class IGUIModelTokenOTP : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelTokenOTP; }
    // A new copy of the user name, freed through the crypto library.
    virtual HRESULT GetUserName(wchar_t** out) = 0;
    // The current code (six digits, a new string freed through the crypto
    // library), the seconds until the next one and the step (30); each
    // output may be NULL. A secret that does not decode answers 0x80000003
    // (bad character) or 0xA0100014 (longer than 32 bytes) and gives no code.
    virtual HRESULT GetOTP(char** code, unsigned long* secondsLeft, unsigned long* period) = 0;
};

class IGUIModelTokensOTP : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelTokensOTP; }
};

// The RFC 4648 Base32 decoding of `text` into at most `size` bytes: white
// space is skipped, letters of either case and "2"-"7" are read, bits left
// at the end are dropped. 0x80000003 for any other character ("=" too),
// 0xA0100014 when the key is longer than `size`.
HRESULT DecodeOtpSecret(const char* text, unsigned char* out, size_t size, size_t* length);

class CModelTokenOTP : public CGUIModel<IGUIModelTokenOTP>, public CGUIModelVerbs, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelTokenOTP)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelTokenOTP)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelTokenOTP)
    ZELK_INTMAP_ENTRY(IGUIModelTokenOTP)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelTokenOTP; }
    ~CModelTokenOTP() override;

    static HRESULT New(const wchar_t* userName, const char* secret, CModelTokenOTP** out);

    HRESULT GetUserName(wchar_t** out) override;
    HRESULT GetOTP(char** code, unsigned long* secondsLeft, unsigned long* period) override;

    // "SEC_CRYPTO_1" of the crypto library, bound with the module.
    static API_COMMON* s_cryptoTable;

private:
    wchar_t* m_userName = nullptr;
    char* m_secret = nullptr;
};

class CModelTokensOTP : public CGUIModelContainer<IGUIModelTokensOTP, CModelTokenOTP>,
                        public CSingletonFactoryImpl<CModelTokensOTP>,
                        public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelTokensOTP)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelTokensOTP)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelTokensOTP)
    ZELK_INTMAP_ENTRY(IGUIModelTokensOTP)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelTokensOTP)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelTokensOTP; }

    // Reads "username" and "secret" of "OTP" once; no secret, no token.
    HRESULT Initialize() override;
};

}  // namespace ZELK::PSESVC
