// What the tokens of the library's own slots that can be neither written
// nor initialised (key store identities, smart cards) answer alike: they
// refuse every change, and hand out texts they keep.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "lib_object.h"
#include "qev_token.h"

namespace kestrin::qevcrypto::keychain {

// A PKCS#11 text field: blank-padded, cut at the field's size.
template <size_t N>
void BlankPadded(CK_UTF8CHAR (&field)[N], const std::string& text)
{
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

class ReadOnlyToken : public LibObject<SecToken> {
public:
    HRESULT isInitialized() override { return S_OK; }
    HRESULT getWritableProfiles(char*** profiles) override
    {
        if (profiles != nullptr)
            *profiles = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT getInitInfo(const char*, ProfileInfo** out) override
    {
        if (out != nullptr)
            *out = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT delInitInfo(ProfileInfo**) override { return E_PSE_NOTSUPPORTED; }
    HRESULT initToken(ProfileInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT deleteToken() override { return E_PSE_NOTSUPPORTED; }
    HRESULT isAlgSupported(AlgEnc, const AllowedValues** allowed) override
    {
        if (allowed != nullptr)
            *allowed = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT genKeyPair(AlgId*, unsigned long, TokenObjectPrivateKey** privateKey, const char*, unsigned int,
                       TokenObjectPublicKey** publicKey, const char*, KeyInfo** publicKeyInfo, SECAttribute*) override
    {
        if (privateKey != nullptr)
            *privateKey = nullptr;
        if (publicKey != nullptr)
            *publicKey = nullptr;
        if (publicKeyInfo != nullptr)
            *publicKeyInfo = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo*, const char*, const char*,
                                unsigned int) override
    {
        return Refuse(out);
    }
    HRESULT createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo*, const char*, const char*) override
    {
        return Refuse(out);
    }
    HRESULT createCertificateObj(TokenObjectCertificate** out, const Certificate*, const char*, const char*) override
    {
        return Refuse(out);
    }
    HRESULT createDataObj(TokenObjectData** out, const OctetString*, const char*, unsigned char) override
    {
        return Refuse(out);
    }

protected:
    static HRESULT Text(const char* text, const char** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = text;
        return S_OK;
    }
    template <class T>
    static HRESULT Refuse(T** out)
    {
        if (out != nullptr)
            *out = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
};

}  // namespace kestrin::qevcrypto::keychain
