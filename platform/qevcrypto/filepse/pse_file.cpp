#include "pse_file.h"

#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>

#include <climits>
#include <mutex>

#include "ossl/ossl_providers.h"
#include "qev_results.h"

namespace kestrin::qevcrypto::filepse {
namespace {

// The secret bag type of the trusted list: a UUID-based identifier of our own.
constexpr const char* kTrustedListOid = "2.25.278966418930577364384727004786452173741";

int TrustedListNid()
{
    static std::once_flag once;
    static int nid = NID_undef;
    std::call_once(once, [] {
        nid = OBJ_txt2nid(kTrustedListOid);
        if (nid == NID_undef)
            nid = OBJ_create(kTrustedListOid, "kestrinTrustedList", "Kestrin trusted certificate list");
    });
    return nid;
}

struct SafeBagsFree {
    void operator()(STACK_OF(PKCS12_SAFEBAG) * s) const { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
struct Pkcs7sFree {
    void operator()(STACK_OF(PKCS7) * s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};
using SafeBags = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagsFree>;
using Pkcs7s = std::unique_ptr<STACK_OF(PKCS7), Pkcs7sFree>;

std::string FriendlyName(const PKCS12_SAFEBAG* bag)
{
    char* name = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag));
    std::string text = name != nullptr ? name : "";
    OPENSSL_free(name);
    return text;
}

Bytes LocalKeyId(const PKCS12_SAFEBAG* bag)
{
    const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
    if (id == nullptr || id->type != V_ASN1_OCTET_STRING)
        return {};
    const ASN1_OCTET_STRING* s = id->value.octet_string;
    return Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
}

template <class T, int (*Encode)(const T*, unsigned char**)>
bool Der(const T* value, Bytes* out)
{
    unsigned char* bytes = nullptr;
    int length = Encode(value, &bytes);
    if (length <= 0)
        return false;
    out->assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    return true;
}

// Reads a DER length; false when it runs past `end`.
bool ReadLength(const uint8_t*& p, const uint8_t* end, size_t* length)
{
    if (p >= end)
        return false;
    uint8_t first = *p++;
    if (first < 0x80) {
        *length = first;
    } else {
        size_t octets = first & 0x7F;
        if (octets == 0 || octets > 4 || static_cast<size_t>(end - p) < octets)
            return false;
        size_t n = 0;
        for (size_t i = 0; i < octets; ++i)
            n = n << 8 | *p++;
        *length = n;
    }
    return *length <= static_cast<size_t>(end - p);
}

HRESULT ParseTrustedList(const uint8_t* der, size_t length, std::vector<Bytes>* out)
{
    const uint8_t* p = der;
    const uint8_t* end = der + length;
    size_t content = 0;
    if (p >= end || *p++ != 0x30 || !ReadLength(p, end, &content) || p + content != end)
        return E_PSE_CORRUPT;
    while (p < end) {
        if (out->size() >= kMaxBags)
            return E_PSE_CORRUPT;
        const unsigned char* start = p;
        ossl::X509Ptr x509(d2i_X509(nullptr, &start, static_cast<long>(end - p)));
        if (!x509)
            return E_PSE_CORRUPT;
        out->emplace_back(p, start);
        p = start;
    }
    return S_OK;
}

Bytes TrustedListDer(const std::vector<Bytes>& trusted)
{
    size_t content = 0;
    for (const Bytes& c : trusted)
        content += c.size();
    Bytes der {0x30};
    if (content < 0x80) {
        der.push_back(static_cast<uint8_t>(content));
    } else {
        Bytes length;
        for (size_t n = content; n > 0; n >>= 8)
            length.insert(length.begin(), static_cast<uint8_t>(n & 0xFF));
        der.push_back(static_cast<uint8_t>(0x80 | length.size()));
        der.insert(der.end(), length.begin(), length.end());
    }
    for (const Bytes& c : trusted)
        der.insert(der.end(), c.begin(), c.end());
    return der;
}

// Iterations of a password-based encryption (PBES2 with PBKDF2, or a PKCS#12
// scheme); 0 when the parameters cannot be read.
long PbeIterations(const X509_ALGOR* algorithm)
{
    const ASN1_OBJECT* oid = nullptr;
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(&oid, &type, &value, algorithm);
    if (type != V_ASN1_SEQUENCE || value == nullptr)
        return 0;
    const ASN1_STRING* params = static_cast<const ASN1_STRING*>(value);
    const unsigned char* p = ASN1_STRING_get0_data(params);
    long length = ASN1_STRING_length(params);
    long iterations = 0;
    if (OBJ_obj2nid(oid) == NID_pbes2) {
        PBE2PARAM* pbe2 = d2i_PBE2PARAM(nullptr, &p, length);
        if (pbe2 != nullptr && pbe2->keyfunc != nullptr && OBJ_obj2nid(pbe2->keyfunc->algorithm) == NID_id_pbkdf2
            && pbe2->keyfunc->parameter != nullptr && pbe2->keyfunc->parameter->type == V_ASN1_SEQUENCE) {
            const ASN1_STRING* kdf = pbe2->keyfunc->parameter->value.sequence;
            const unsigned char* q = ASN1_STRING_get0_data(kdf);
            PBKDF2PARAM* pbkdf2 = d2i_PBKDF2PARAM(nullptr, &q, ASN1_STRING_length(kdf));
            if (pbkdf2 != nullptr)
                iterations = ASN1_INTEGER_get(pbkdf2->iter);
            PBKDF2PARAM_free(pbkdf2);
        }
        PBE2PARAM_free(pbe2);
    } else {
        PBEPARAM* pbe = d2i_PBEPARAM(nullptr, &p, length);
        if (pbe != nullptr)
            iterations = ASN1_INTEGER_get(pbe->iter);
        PBEPARAM_free(pbe);
    }
    return iterations;
}

// A file names its own work factors: one beyond the limit is refused before
// any key is derived.
bool IterationsAllowed(const X509_ALGOR* algorithm)
{
    long iterations = PbeIterations(algorithm);
    return iterations > 0 && iterations <= kMaxIterations;
}

struct Reader {
    const char* password;
    int passwordLength;
    PseImage* image;
    size_t count = 0;

    HRESULT Bags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth)
    {
        if (depth > 2)
            return E_PSE_CORRUPT;
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            if (++count > kMaxBags)
                return E_PSE_CORRUPT;
            HRESULT hr = Bag(sk_PKCS12_SAFEBAG_value(bags, i), depth);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    HRESULT Bag(const PKCS12_SAFEBAG* bag, int depth)
    {
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_certBag: {
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate)
                return S_OK;
            ossl::X509Ptr x509(PKCS12_SAFEBAG_get1_cert(bag));
            CertificateBag c;
            if (!x509 || !Der<X509, i2d_X509>(x509.get(), &c.der))
                return E_PSE_CORRUPT;
            c.label = FriendlyName(bag);
            c.localKeyId = LocalKeyId(bag);
            image->certificates.push_back(std::move(c));
            return S_OK;
        }
        case NID_keyBag:
        case NID_pkcs8ShroudedKeyBag: {
            KeyBag k;
            k.label = FriendlyName(bag);
            k.localKeyId = LocalKeyId(bag);
            if (PKCS12_SAFEBAG_get_nid(bag) == NID_keyBag) {
                Bytes plain;
                if (!Der<PKCS8_PRIV_KEY_INFO, i2d_PKCS8_PRIV_KEY_INFO>(PKCS12_SAFEBAG_get0_p8inf(bag), &plain))
                    return E_PSE_CORRUPT;
                k.pkcs8.assign(plain.begin(), plain.end());
                OPENSSL_cleanse(plain.data(), plain.size());
            } else {
                if (!Der<X509_SIG, i2d_X509_SIG>(PKCS12_SAFEBAG_get0_pkcs8(bag), &k.shrouded))
                    return E_PSE_CORRUPT;
                if (password != nullptr) {
                    HRESULT hr = Decrypt(bag, &k.pkcs8);
                    if (FAILED(hr))
                        return hr;
                }
            }
            image->keys.push_back(std::move(k));
            return S_OK;
        }
        case NID_secretBag: {
            const ASN1_OBJECT* type = PKCS12_SAFEBAG_get0_bag_type(bag);
            if (OBJ_obj2nid(type) != TrustedListNid())
                return S_OK;
            const ASN1_TYPE* value = PKCS12_SAFEBAG_get0_bag_obj(bag);
            if (value == nullptr || value->type != V_ASN1_OCTET_STRING)
                return E_PSE_CORRUPT;
            const ASN1_OCTET_STRING* s = value->value.octet_string;
            image->trusted.clear();
            return ParseTrustedList(ASN1_STRING_get0_data(s), static_cast<size_t>(ASN1_STRING_length(s)),
                                    &image->trusted);
        }
        case NID_safeContentsBag:
            return Bags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1);
        default:
            return S_OK;
        }
    }

    HRESULT Decrypt(const PKCS12_SAFEBAG* bag, SecretBytes* out)
    {
        const X509_ALGOR* algorithm = nullptr;
        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
        if (algorithm == nullptr || !IterationsAllowed(algorithm))
            return E_PSE_CORRUPT;
        PKCS8_PRIV_KEY_INFO* p8 = PKCS12_decrypt_skey(bag, password, passwordLength);
        if (p8 == nullptr && ossl::EnsureLegacyProvider())
            p8 = PKCS12_decrypt_skey(bag, password, passwordLength);
        if (p8 == nullptr)
            return E_PSE_BADPASSWORD;
        unsigned char* bytes = nullptr;
        int length = i2d_PKCS8_PRIV_KEY_INFO(p8, &bytes);
        PKCS8_PRIV_KEY_INFO_free(p8);
        if (length <= 0)
            return E_FAIL;
        out->assign(bytes, bytes + length);
        OPENSSL_clear_free(bytes, static_cast<size_t>(length));
        return S_OK;
    }
};

}  // namespace

HRESULT ParsePseFile(const uint8_t* der, size_t length, const char* password, size_t passwordLength, PseImage* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = PseImage {};
    if (der == nullptr || length == 0 || length > kMaxPseFileSize)
        return E_PSE_CORRUPT;
    if (password != nullptr && passwordLength > kMaxPasswordLength)
        return E_INVALIDARG;
    const unsigned char* p = der;
    ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(length)));
    if (!p12 || p != der + length)
        return E_PSE_CORRUPT;
    Pkcs7s safes(PKCS12_unpack_authsafes(p12.get()));
    if (!safes)
        return E_PSE_CORRUPT;
    if (password != nullptr && PKCS12_mac_present(p12.get())) {
        const ASN1_INTEGER* iterations = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &iterations, p12.get());
        // An absent count is 1.
        long count = iterations != nullptr ? ASN1_INTEGER_get(iterations) : 1;
        if (count <= 0 || count > kMaxIterations)
            return E_PSE_CORRUPT;
    }
    if (password != nullptr && PKCS12_mac_present(p12.get())
        && PKCS12_verify_mac(p12.get(), password, static_cast<int>(passwordLength)) != 1) {
        return E_PSE_BADPASSWORD;
    }
    PseImage image;
    Reader reader {password, static_cast<int>(passwordLength), &image};
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        int type = OBJ_obj2nid(safe->type);
        HRESULT hr = S_OK;
        if (type == NID_pkcs7_data) {
            SafeBags bags(PKCS12_unpack_p7data(safe));
            hr = bags ? reader.Bags(bags.get(), 0) : E_PSE_CORRUPT;
        } else if (type == NID_pkcs7_encrypted) {
            image.encryptedSafes = true;
            if (password == nullptr)
                continue;
            if (safe->d.encrypted == nullptr || safe->d.encrypted->enc_data == nullptr
                || !IterationsAllowed(safe->d.encrypted->enc_data->algorithm)) {
                return E_PSE_CORRUPT;
            }
            SafeBags bags(PKCS12_unpack_p7encdata(safe, password, static_cast<int>(passwordLength)));
            if (!bags && ossl::EnsureLegacyProvider())
                bags.reset(PKCS12_unpack_p7encdata(safe, password, static_cast<int>(passwordLength)));
            hr = bags ? reader.Bags(bags.get(), 0) : E_PSE_BADPASSWORD;
        }
        if (FAILED(hr))
            return hr;
    }
    *out = std::move(image);
    return S_OK;
}

HRESULT BuildPseFile(const PseImage& image, const char* password, size_t passwordLength, Bytes* der)
{
    if (der == nullptr)
        return E_POINTER;
    if (password == nullptr || passwordLength > kMaxPasswordLength)
        return E_INVALIDARG;
    const int passLength = static_cast<int>(passwordLength);
    SafeBags bags(sk_PKCS12_SAFEBAG_new_null());
    if (!bags)
        return E_OUTOFMEMORY;
    auto push = [&](PKCS12_SAFEBAG* bag, const std::string& label, const Bytes& localKeyId) {
        if (bag == nullptr)
            return false;
        bool ok = (label.empty() || PKCS12_add_friendlyname_utf8(bag, label.c_str(), -1) == 1)
                  && (localKeyId.empty()
                      || PKCS12_add_localkeyid(bag, const_cast<uint8_t*>(localKeyId.data()),
                                               static_cast<int>(localKeyId.size()))
                             == 1);
        if (!ok || sk_PKCS12_SAFEBAG_push(bags.get(), bag) <= 0) {
            PKCS12_SAFEBAG_free(bag);
            return false;
        }
        return true;
    };
    for (const KeyBag& k : image.keys) {
        if (k.pkcs8.empty())
            return E_INVALIDARG;
        const unsigned char* p = k.pkcs8.data();
        ossl::P8InfPtr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(k.pkcs8.size())));
        if (!p8)
            return E_INVALIDARG;
        PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create_pkcs8_encrypt_ex(NID_aes_256_cbc, password, passLength, nullptr, 0,
                                                                     kPseIterations, p8.get(), nullptr, nullptr);
        if (!push(bag, k.label, k.localKeyId))
            return E_FAIL;
    }
    for (const CertificateBag& c : image.certificates) {
        const unsigned char* p = c.der.data();
        ossl::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(c.der.size())));
        if (!x509)
            return E_INVALIDARG;
        if (!push(PKCS12_SAFEBAG_create_cert(x509.get()), c.label, c.localKeyId))
            return E_FAIL;
    }
    Bytes trusted = TrustedListDer(image.trusted);
    if (trusted.size() > INT_MAX
        || !push(PKCS12_SAFEBAG_create_secret(TrustedListNid(), V_ASN1_OCTET_STRING, trusted.data(),
                                              static_cast<int>(trusted.size())),
                 "", {})) {
        return E_FAIL;
    }
    Pkcs7s safes(sk_PKCS7_new_null());
    if (!safes)
        return E_OUTOFMEMORY;
    PKCS7* data = PKCS12_pack_p7data(bags.get());
    if (data == nullptr || sk_PKCS7_push(safes.get(), data) <= 0) {
        PKCS7_free(data);
        return E_FAIL;
    }
    ossl::Pkcs12Ptr p12(PKCS12_add_safes(safes.get(), 0));
    if (!p12 || PKCS12_set_mac(p12.get(), password, passLength, nullptr, 0, kPseIterations, EVP_sha256()) != 1) {
        return E_FAIL;
    }
    return Der<PKCS12, i2d_PKCS12>(p12.get(), der) ? S_OK : E_FAIL;
}

}  // namespace kestrin::qevcrypto::filepse
