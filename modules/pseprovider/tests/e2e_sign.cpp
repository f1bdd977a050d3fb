// A client program as any other: it links only the crypto library, makes a
// security context whose PSE provider is module "zelkpse", and signs or
// decrypts with the own certificate whose DER it is given, or sends a JSON
// request through the PSE's control path.
//
//   e2e_sign <certificate.der> <step>...
//   steps: sign <rsa|ec> <data> <signature out>
//          decrypt <ciphertext> <plain out>
//          control <caller> <path> <request file> <answer out>
//          wait <path>    (until the file exists)
// Each step prints "ok <step>" or "failed <step> <result code>" on a line of
// its own; the exit status is 0 when every step succeeded.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qev_attributes.h"
#include "qev_crypt.h"
#include "qev_pse.h"

namespace {

using Bytes = std::vector<unsigned char>;

SEC_FUNCTION_LIST* s_list = nullptr;
API_COMMON* s_types = nullptr;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(s_types, index);
}

bool ReadAll(const std::string& path, Bytes* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteAll(const std::string& path, const unsigned char* data, size_t length)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    return static_cast<bool>(out);
}

// The DER of a certificate of the library.
Bytes Der(Certificate* certificate)
{
    Bytes der;
    OctetString* encoded = nullptr;
    const SEC_TYPE_TABLE* table = Type(SEC_TYPE_Certificate);
    if (table != nullptr && SUCCEEDED(table->encode(certificate, &encoded)) && encoded != nullptr)
        der.assign(encoded->data, encoded->data + encoded->length);
    if (encoded != nullptr)
        Type(SEC_TYPE_OctetString)->free(encoded);
    return der;
}

// The own certificate of the PSE whose certificate is `wanted`, with a
// reference of its own; NULL when there is none.
PersonalCertificateInfo* FindOwn(PSE* pse, const Bytes& wanted, HRESULT* result)
{
    SET_OF_PersonalCertificateInfo* own = nullptr;
    *result = pse->getOwnCertificate(nullptr, nullptr, &own);
    PersonalCertificateInfo* found = nullptr;
    for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr && found == nullptr; node = node->next) {
        if (node->element != nullptr && node->element->certificate != nullptr
            && Der(node->element->certificate) == wanted) {
            found = node->element;
            Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(found);
        }
    }
    if (own != nullptr)
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
    return found;
}

HRESULT Sha256(const Bytes& data, unsigned char digest[32])
{
    API_COMMON* table = nullptr;
    HRESULT hr = s_list->get_api(nullptr, SEC_CRYPT_API, &table);
    if (FAILED(hr))
        return hr;
    const auto* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(table);
    // The hash code travels in the value pointer itself.
    SECAttribute hash {};
    hash.id = SEC_ATTR_HASH;
    hash.value = reinterpret_cast<void*>(static_cast<uintptr_t>(SEC_HASH_SHA256));
    uint64_t length = 32;
    hr = crypt->hash_all(&hash, data.data(), data.size(), digest, &length);
    s_list->release_api(&table);
    return SUCCEEDED(hr) && length == 32 ? S_OK : E_FAIL;
}

// sha256WithRSAEncryption or ecdsa-with-SHA256, decoded by the library.
AlgId* SignatureAlgorithm(bool rsa)
{
    static const unsigned char kRsa[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                         0xf7, 0x0d, 0x01, 0x01, 0x0b, 0x05, 0x00};
    static const unsigned char kEc[] = {0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
    OctetString der {rsa ? sizeof kRsa : sizeof kEc, const_cast<unsigned char*>(rsa ? kRsa : kEc)};
    void* algorithm = nullptr;
    if (FAILED(Type(SEC_TYPE_AlgId)->decode(&der, &algorithm)))
        return nullptr;
    return static_cast<AlgId*>(algorithm);
}

// Attributes 240 and 58 of the own certificate, then `more`.
struct KeyAttributes {
    SECAttribute uri {};
    SECAttribute keyId {};
    KeyAttributes(PersonalCertificateInfo* own, SECAttribute* more)
    {
        uri.id = SEC_ATTR_TOKEN_URI;
        uri.value = own->tokenName;
        uri.type = Type(SEC_TYPE_String);
        uri.next = &keyId;
        keyId.id = SEC_ATTR_KEY_ID;
        keyId.value = own->keyId;
        keyId.type = Type(SEC_TYPE_String);
        keyId.next = more;
    }
};

HRESULT Sign(PSE* pse, PersonalCertificateInfo* own, bool rsa, const std::string& dataPath,
             const std::string& signaturePath)
{
    Bytes data;
    unsigned char digest[32];
    if (!ReadAll(dataPath, &data) || FAILED(Sha256(data, digest)))
        return E_FAIL;
    AlgId* algorithm = SignatureAlgorithm(rsa);
    if (algorithm == nullptr)
        return E_FAIL;
    SECAttribute signature {};
    signature.id = SEC_ATTR_SIGNATURE_ALGORITHM;
    signature.value = algorithm;
    signature.type = Type(SEC_TYPE_AlgId);
    KeyAttributes attributes(own, &signature);
    unsigned char out[1024];
    unsigned long length = sizeof out;
    HRESULT hr = pse->encryptDigest(nullptr, &attributes.uri, digest, sizeof digest, out, &length);
    Type(SEC_TYPE_AlgId)->free(algorithm);
    if (SUCCEEDED(hr) && !WriteAll(signaturePath, out, length))
        hr = E_FAIL;
    return hr;
}

HRESULT Decrypt(PSE* pse, PersonalCertificateInfo* own, const std::string& inPath, const std::string& outPath)
{
    Bytes in;
    if (!ReadAll(inPath, &in))
        return E_FAIL;
    KeyAttributes attributes(own, nullptr);
    unsigned char out[1024];
    unsigned long length = sizeof out;
    HRESULT hr = pse->decryptKey(nullptr, &attributes.uri, in.data(), in.size(), out, &length);
    if (SUCCEEDED(hr) && !WriteAll(outPath, out, length))
        hr = E_FAIL;
    return hr;
}

// The control path: the caller's address (1029), the operation (1030) and
// the request (1032) in, the answer (1033) written to `answerPath`.
HRESULT Control(PSE* pse, const char* caller, const char* path, const std::string& requestPath,
                const std::string& answerPath)
{
    Bytes request;
    if (!ReadAll(requestPath, &request))
        return E_FAIL;
    std::string text(request.begin(), request.end());
    const SEC_TYPE_TABLE* strings = Type(SEC_TYPE_String);
    SECAttribute body {SEC_ATTR_CONTROL_REQUEST, text.data(), 0, 0, 0, strings, nullptr};
    SECAttribute operation {SEC_ATTR_CONTROL_PATH, const_cast<char*>(path), 0, 0, 0, strings, &body};
    SECAttribute in {SEC_ATTR_CONTROL_CALLER, const_cast<char*>(caller), 0, 0, 0, strings, &operation};
    SECAttribute out {SEC_ATTR_CONTROL_ANSWER, nullptr, 0, 0, 0, strings, nullptr};
    HRESULT hr = pse->control(&in, &out);
    const char* answer = static_cast<const char*>(out.value);
    if (SUCCEEDED(hr)
        && (answer == nullptr
            || !WriteAll(answerPath, reinterpret_cast<const unsigned char*>(answer), std::strlen(answer))))
        hr = E_FAIL;
    if (out.owned != 0 && out.value != nullptr && out.type != nullptr)
        out.type->free(out.value);
    return hr;
}

void Report(const char* step, HRESULT hr)
{
    if (SUCCEEDED(hr))
        std::printf("ok %s\n", step);
    else
        std::printf("failed %s %08x\n", step, static_cast<unsigned>(hr));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Bytes wanted;
    if (argc < 2 || !ReadAll(argv[1], &wanted))
        return 2;
    if (FAILED(cryptolib_get_f_list(0, nullptr, &s_list, nullptr, "", 0)) || s_list == nullptr)
        return 3;
    API_COMMON* ascTable = nullptr;
    if (FAILED(s_list->get_api(nullptr, "SEC_COMMONTYPES_1", &s_types))
        || FAILED(s_list->get_api("zelkpse", "SEC_ASC_1", &ascTable)))
        return 4;
    ASC* asc = nullptr;
    HRESULT hr = ZELK_ApiCast<SEC_ASC_TABLE>(ascTable)->create_ASC(&asc, nullptr);
    PSE* pse = nullptr;
    if (SUCCEEDED(hr))
        hr = asc->getPSE(&pse);
    Report("pse", hr);
    if (FAILED(hr) || pse == nullptr) {
        if (asc != nullptr)
            asc->Release();
        return 5;
    }

    int status = 0;
    PersonalCertificateInfo* own = nullptr;
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        if (step == "wait" && i + 1 < argc) {
            const char* path = argv[++i];
            while (access(path, F_OK) != 0)
                usleep(10000);
            continue;
        }
        if (step == "control" && i + 4 < argc) {
            hr = Control(pse, argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]);
            i += 4;
            Report(step.c_str(), hr);
            if (FAILED(hr))
                status = 1;
            continue;
        }
        if (own == nullptr) {
            own = FindOwn(pse, wanted, &hr);
            if (own == nullptr && SUCCEEDED(hr))
                hr = E_FAIL;
            Report("own", hr);
            if (own == nullptr) {
                status = 6;
                break;
            }
        }
        if (step == "sign" && i + 3 < argc) {
            hr = Sign(pse, own, std::strcmp(argv[i + 1], "rsa") == 0, argv[i + 2], argv[i + 3]);
            i += 3;
        } else if (step == "decrypt" && i + 2 < argc) {
            hr = Decrypt(pse, own, argv[i + 1], argv[i + 2]);
            i += 2;
        } else {
            status = 2;
            break;
        }
        Report(step.c_str(), hr);
        if (FAILED(hr))
            status = 1;
    }
    if (own != nullptr)
        Type(SEC_TYPE_PersonalCertificateInfo)->free(own);
    pse->Release();
    asc->Release();
    return status;
}
