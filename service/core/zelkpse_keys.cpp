// The service PSE's key operations: signing and decryption by the token
// manager with the real PSE taking over a failure, and the private-key and
// certificate objects of a token by name.
#include <cstring>
#include <string>

#include "../tokens/token_manager.h"
#include "gss_connections.h"
#include "qev_attributes.h"
#include "qev_crypt.h"
#include "qev_results.h"
#include "zelk_module.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"
#include "zelkpse.h"
#include "zelkpse_lists.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_crypt = nullptr;
CLoadAPI s_loadCrypt(nullptr, SEC_CRYPT_API, &s_crypt);

// A token name that carries the hash of the key's certificate:
// "toksw:mem://kestrin/<profile>\<40 hexadecimal digits>".
constexpr const char* HASHED_PREFIX = "toksw:mem://kestrin/";
constexpr size_t HASH_DIGITS = 40;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The SHA-1 of the key's first certificate, DER-encoded.
HRESULT CertificateHash(TokenObjectPrivateKey* key, unsigned char hash[20])
{
    TokenObjectCertificate* object = nullptr;
    unsigned long count = 1;
    HRESULT hr = key->getCertObjs(nullptr, &object, &count);
    if (FAILED(hr) || count == 0 || object == nullptr) {
        if (object)
            object->Release();
        return E_CERT_HASHMISMATCH;
    }
    Certificate* certificate = nullptr;
    hr = object->getCertPath(&certificate, nullptr, nullptr);
    object->Release();
    if (FAILED(hr) || certificate == nullptr) {
        if (certificate)
            certificate->Release();
        return E_CERT_HASHMISMATCH;
    }
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    AuxPtr<OctetString> der;
    hr = type && type->encode ? type->encode(certificate, &der) : E_FAIL;
    certificate->Release();
    const SEC_CRYPT_TABLE* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(s_crypt);
    if (FAILED(hr) || !der || crypt == nullptr || crypt->hash_all == nullptr)
        return E_CERT_HASHMISMATCH;
    // The hash code travels in the value pointer itself.
    SECAttribute hashAttribute {
        SEC_ATTR_HASH, reinterpret_cast<void*>(static_cast<uintptr_t>(SEC_HASH_SHA1)), 0, 0, 0, nullptr, nullptr};
    uint64_t length = 20;
    hr = crypt->hash_all(&hashAttribute, der->data, der->length, hash, &length);
    return SUCCEEDED(hr) && length == 20 ? S_OK : E_CERT_HASHMISMATCH;
}

// 0 when the SHA-1 of the key's certificate is the hexadecimal value.
HRESULT verifyCertHash(TokenObjectPrivateKey* key, const char* hexHash)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "verifyCertHash");
    if (key == nullptr || hexHash == nullptr || std::strlen(hexHash) != 2 * 20)
        return trace.result = E_CERT_HASHMISMATCH;
    unsigned char wanted[20];
    for (size_t i = 0; i < 20; ++i) {
        int high = HexDigit(hexHash[2 * i]);
        int low = HexDigit(hexHash[2 * i + 1]);
        if (high < 0 || low < 0)
            return trace.result = E_CERT_HASHMISMATCH;
        wanted[i] = static_cast<unsigned char>(high * 16 + low);
    }
    unsigned char have[20];
    trace.result = CertificateHash(key, have);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = std::memcmp(have, wanted, 20) == 0 ? S_OK : E_CERT_HASHMISMATCH;
}

void TraceIssuerAndSerial(const IssuerAndSerial* value)
{
    if (value == nullptr || !SECTRACE_Check(nullptr, 5))
        return;
    auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    char* issuer = nullptr;
    if (names && value->issuer && SUCCEEDED(names->to_text(value->issuer, &issuer)) && issuer)
        SECTRACE_FormatLnEx(nullptr, 5, 0, "Searching Issuer: %s", issuer);
    sec_free(issuer);
    std::string serial;
    if (value->serial) {
        char digits[3];
        for (uint64_t i = 0; i < value->serial->length; ++i) {
            std::snprintf(digits, sizeof digits, "%02x", value->serial->data[i]);
            serial += digits;
        }
    }
    SECTRACE_FormatLnEx(nullptr, 5, 0, "Searching Serial: %s", serial.c_str());
}

}  // namespace

HRESULT ZELKPSE::encryptDigest(const History* history, SECAttribute* attributes, const unsigned char* in,
                               unsigned long inLength, unsigned char* out, unsigned long* outLength)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::encryptDigest");
    const char* uri = SECAttributeArray_GetString(attributes, SEC_ATTR_TOKEN_URI);
    const char* keyId = SECAttributeArray_GetString(attributes, SEC_ATTR_KEY_ID);
    const AlgId* algorithm = SECAttributeArray_GetAlgId(attributes, SEC_ATTR_SIGNATURE_ALGORITHM);
    if (SECAttributeArray_GetInteger(attributes, SEC_ATTR_CONNECTION) != 0) {
        AuxRefPtr<CGssConnections> broker;
        trace.result = CSingletonFactoryImpl<CGssConnections>::New(&broker);
        if (FAILED(trace.result))
            return trace.result;
        trace.result = broker->encryptDigest(attributes, in, inLength, out, outLength);
        if (trace.result != S_FALSE)
            return trace.result;
    }
    if (uri == nullptr)
        return trace.result = E_FAIL;
    SECTRACE_FormatLnEx(nullptr, 4, 0, "Signing with token: %s and keyid: %s", uri, keyId ? keyId : "");
    AuxRefPtr<CTokenMgr> tokens;
    trace.result = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(trace.result))
        return trace.result;
    trace.result = tokens->Sign(uri, keyId, algorithm, true, in, inLength, out, outLength, attributes);
    if (SUCCEEDED(trace.result))
        return trace.result;
    needRealPSE(true);
    PSE* real = m_realPSE.load();
    if (real == nullptr)
        return trace.result;
    return trace.result = real->encryptDigest(history, attributes, in, inLength, out, outLength);
}

HRESULT ZELKPSE::decryptKey(const History* history, SECAttribute* attributes, const unsigned char* in,
                            unsigned long inLength, unsigned char* out, unsigned long* outLength)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::decryptKey");
    if (SECAttributeArray_GetInteger(attributes, SEC_ATTR_CONNECTION) != 0) {
        AuxRefPtr<CGssConnections> broker;
        trace.result = CSingletonFactoryImpl<CGssConnections>::New(&broker);
        if (FAILED(trace.result))
            return trace.result;
        trace.result = broker->decryptKey(attributes, in, inLength, out, outLength);
        if (trace.result != S_FALSE)
            return trace.result;
    }
    const char* keyIdValue = nullptr;
    const char* uriValue = nullptr;
    const AlgId* algorithm = nullptr;
    const SEC_TYPE_TABLE* strings = SEC_TypeTable(fptr__common_types, SEC_TYPE_String);
    const SEC_TYPE_TABLE* algIds = SEC_TypeTable(fptr__common_types, SEC_TYPE_AlgId);
    const SEC_TYPE_TABLE* records = SEC_TypeTable(fptr__common_types, SEC_TYPE_IssuerAndSerial);
    for (SECAttribute* entry = attributes; entry != nullptr; entry = entry->next) {
        switch (entry->id) {
        case SEC_ATTR_KEY_ID:
            if (entry->type == nullptr || entry->type == strings)
                keyIdValue = static_cast<const char*>(entry->value);
            break;
        case SEC_ATTR_DECRYPT_ALGORITHM:
            if (entry->type == nullptr || entry->type == algIds)
                algorithm = static_cast<const AlgId*>(entry->value);
            break;
        case SEC_ATTR_TOKEN_URI:
            if (entry->type == nullptr || entry->type == strings)
                uriValue = static_cast<const char*>(entry->value);
            break;
        case SEC_ATTR_ISSUER_AND_SERIAL:
            if (entry->type == nullptr || entry->type == records)
                TraceIssuerAndSerial(static_cast<const IssuerAndSerial*>(entry->value));
            break;
        default:
            break;
        }
    }
    // Copies: the own certificate that names them is freed before they are used.
    std::string uri = uriValue ? uriValue : "";
    std::string keyId = keyIdValue ? keyIdValue : "";
    bool hasUri = uriValue != nullptr;
    bool hasKeyId = keyIdValue != nullptr;
    if (!hasUri) {
        SET_OF_PersonalCertificateInfo* own = nullptr;
        getOwnCertificate(nullptr, attributes, &own);
        if (own != nullptr && own->element != nullptr && own->element->tokenName != nullptr) {
            uri = own->element->tokenName;
            hasUri = true;
            hasKeyId = own->element->keyId != nullptr;
            keyId = hasKeyId ? own->element->keyId : "";
        }
        FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, own);
    }
    if (!hasUri)
        return trace.result = E_PSE_NOTFOUND;
    SECTRACE_FormatLnEx(nullptr, 4, 0, "Decrypting with token: %s and keyid: %s", uri.c_str(), keyId.c_str());
    AuxRefPtr<CTokenMgr> tokens;
    trace.result = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(trace.result))
        return trace.result;
    trace.result = tokens->Decrypt(uri.c_str(), hasKeyId ? keyId.c_str() : nullptr, algorithm, in, inLength, out,
                                   outLength, attributes);
    if (SUCCEEDED(trace.result))
        return trace.result;
    needRealPSE(true);
    PSE* real = m_realPSE.load();
    if (real == nullptr)
        return trace.result;
    return trace.result = real->decryptKey(history, attributes, in, inLength, out, outLength);
}

HRESULT ZELKPSE::getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getPrivateKey");
    if (out == nullptr || tokenName == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    std::string name = tokenName;
    std::string hash;
    size_t length = name.size();
    if (name.rfind(HASHED_PREFIX, 0) == 0 && length > HASH_DIGITS + 1 && name[length - HASH_DIGITS - 1] == '\\') {
        hash = name.substr(length - HASH_DIGITS);
        name.resize(length - HASH_DIGITS - 1);
    }
    AuxRefPtr<CTokenMgr> tokens;
    AuxRefPtr<SecToken> token;
    if (SUCCEEDED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens))
        && SUCCEEDED(tokens->GetTokenByName(name.c_str(), &token)) && token) {
        TokenObject* object = nullptr;
        unsigned long count = 1;
        HRESULT hr = token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, keyId, nullptr);
        if (SUCCEEDED(hr) && count != 0 && object != nullptr) {
            auto* key = static_cast<TokenObjectPrivateKey*>(object);
            if (!hash.empty()) {
                trace.result = verifyCertHash(key, hash.c_str());
                if (FAILED(trace.result)) {
                    SECTRACE_FormatLnEx(nullptr, 2, 0,
                                        "Access to token '%s' rejected,\nbecause certificate has been updated and "
                                        "client still uses the old certificate",
                                        name.c_str());
                    key->Release();
                    return trace.result;
                }
            }
            *out = key;
            return trace.result = S_OK;
        }
        if (object)
            object->Release();
    }
    trace.result = needRealPSE(false);
    PSE* real = m_realPSE.load();
    if (FAILED(trace.result) || real == nullptr)
        return trace.result;
    return trace.result = real->getPrivateKey(name.c_str(), keyId, out);
}

HRESULT ZELKPSE::getCertificate(const char* tokenName, const char* keyId, const char* label,
                                TokenObjectCertificate** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getCertificate");
    if (out == nullptr || tokenName == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    AuxRefPtr<CTokenMgr> tokens;
    AuxRefPtr<SecToken> token;
    if (SUCCEEDED(CSingletonFactoryImpl<CTokenMgr>::New(&tokens))
        && SUCCEEDED(tokens->GetTokenByName(tokenName, &token)) && token) {
        TokenObject* object = nullptr;
        unsigned long count = 1;
        HRESULT hr = token->getObjects(&object, &count, TOKEN_OBJECT_CERTIFICATE, keyId, label);
        if (SUCCEEDED(hr) && count != 0 && object != nullptr) {
            *out = static_cast<TokenObjectCertificate*>(object);
            return trace.result = S_OK;
        }
        if (object)
            object->Release();
    }
    trace.result = needRealPSE(false);
    PSE* real = m_realPSE.load();
    if (FAILED(trace.result) || real == nullptr)
        return trace.result;
    return trace.result = real->getCertificate(tokenName, keyId, label, out);
}

}  // namespace ZELK::PSESVC
