#include "key_converter.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "filepse/pse_file.h"
#include "lib_object.h"
#include "ossl/ossl_pkcs12.h"
#include "qev_results.h"

namespace kestrin::qevcrypto {
namespace {

using ossl::Bytes;
using ossl::SecretBytes;
using ossl::X509Ptr;

constexpr char kKeyConverterType[] = "KeyConverter";
// Most certificates a converter holds: a key's chain and its anchors are a
// handful; the bound keeps a hostile file from growing the set without end.
constexpr size_t kMaxCertificates = 256;
// Largest input taken, as for the library's PSE files.
constexpr unsigned long kMaxInput = filepse::kMaxPseFileSize;
constexpr int kPkcs12Iterations = 2048;

struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct Pkcs7Deleter {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;

Bytes DerOf(X509* x)
{
    Bytes der;
    int n = i2d_X509(x, nullptr);
    if (n <= 0)
        return der;
    der.resize(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    return der;
}

X509Ptr ParseCertificate(const unsigned char* der, size_t length)
{
    const unsigned char* p = der;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (x && p != der + length)
        x.reset();
    return x;
}

bool SelfSigned(X509* x)
{
    return X509_check_issued(x, x) == X509_V_OK && X509_verify(x, X509_get0_pubkey(x)) == 1;
}

// Hands out bytes by the rule of the header.
HRESULT HandOut(const uint8_t* data, size_t size, unsigned char* buffer, unsigned long* length)
{
    if (length == nullptr)
        return E_POINTER;
    if (buffer == nullptr) {
        *length = size;
        return S_OK;
    }
    if (*length < size) {
        *length = size;
        return E_COMMON_BUFFERTOOSMALL;
    }
    if (size > 0)
        std::memcpy(buffer, data, size);
    *length = size;
    return S_OK;
}

// The certificates of a PKCS#7 (signed data), appended to `out`.
bool CertificatesOfPkcs7(PKCS7* p7, std::vector<X509Ptr>& out)
{
    if (p7 == nullptr || !PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->cert == nullptr)
        return false;
    for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) {
        X509* x = sk_X509_value(p7->d.sign->cert, i);
        if (X509_up_ref(x) != 1)
            return false;
        out.emplace_back(x);
    }
    return true;
}

bool LooksLikePem(const unsigned char* data, unsigned long length)
{
    static constexpr char kBegin[] = "-----BEGIN ";
    std::string_view text(reinterpret_cast<const char*>(data), length);
    return text.find(kBegin) != std::string_view::npos;
}

HRESULT ReadPem(const unsigned char* data, unsigned long length, std::vector<X509Ptr>& out)
{
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(length)));
    if (!bio)
        return E_OUTOFMEMORY;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* body = nullptr;
        long bodyLength = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &body, &bodyLength) != 1)
            break;
        std::string kind = name != nullptr ? name : "";
        if (kind == "CERTIFICATE" || kind == "X509 CERTIFICATE") {
            if (X509Ptr x = ParseCertificate(body, static_cast<size_t>(bodyLength)))
                out.push_back(std::move(x));
        } else if (kind == "PKCS7") {
            const unsigned char* p = body;
            Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, bodyLength));
            CertificatesOfPkcs7(p7.get(), out);
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_clear_free(body, static_cast<size_t>(bodyLength));
    }
    ERR_clear_error();
    return S_OK;
}

class KeyConverterObject final : public LibObject<KeyConverter> {
public:
    const char* getType() override { return kKeyConverterType; }
    int cmp(const KeyConverter* other) override { return other == this ? 0 : 1; }
    HRESULT print(char** out, const char*, PRINT_CTX*) override
    {
        if (out != nullptr)
            *out = nullptr;
        return E_NOTIMPL;
    }

    HRESULT importKeyMaterial(const unsigned char* data, unsigned long length, const char* password,
                              unsigned long passwordLength) override
    {
        if (data == nullptr || length == 0 || length > kMaxInput)
            return E_COMMON_INVALIDDATA;
        if (password == nullptr)
            passwordLength = 0;
        std::string text(password != nullptr ? password : "", passwordLength);
        filepse::PseImage image;
        HRESULT hr = filepse::ParsePseFile(data, length, text.c_str(), text.size(), &image);
        OPENSSL_cleanse(text.data(), text.size());
        ossl::EvpPkeyPtr key;
        SecretBytes pkcs8;
        std::vector<X509Ptr> certificates;
        if (hr == E_PSE_CORRUPT) {
            // Not a PKCS#12 file: a bare private key.
            const unsigned char* p = data;
            key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(length)));
            ERR_clear_error();
            if (!key || p != data + length)
                return E_COMMON_INVALIDDATA;
            HRESULT made = Pkcs8Of(key.get(), pkcs8);
            if (FAILED(made))
                return made;
        } else if (FAILED(hr)) {
            return hr;
        } else {
            for (filepse::KeyBag& bag : image.keys) {
                if (bag.pkcs8.empty())
                    continue;
                const unsigned char* p = bag.pkcs8.data();
                key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bag.pkcs8.size())));
                if (!key)
                    return E_COMMON_INVALIDDATA;
                pkcs8 = std::move(bag.pkcs8);
                break;
            }
            for (const filepse::CertificateBag& c : image.certificates)
                if (X509Ptr x = ParseCertificate(c.der.data(), c.der.size()))
                    certificates.push_back(std::move(x));
            for (const Bytes& der : image.trusted)
                if (X509Ptr x = ParseCertificate(der.data(), der.size()))
                    certificates.push_back(std::move(x));
            ERR_clear_error();
            if (!key && certificates.empty())
                return E_COMMON_INVALIDDATA;
        }
        HRESULT fits = Fits(certificates);
        if (FAILED(fits))
            return fits;
        if (key) {
            m_key = std::move(key);
            m_pkcs8 = std::move(pkcs8);
        }
        Add(certificates);
        return S_OK;
    }

    HRESULT addCertificate(const unsigned char* der, unsigned long length) override
    {
        if (der == nullptr || length == 0 || length > kMaxInput)
            return E_COMMON_INVALIDDATA;
        std::vector<X509Ptr> one;
        if (X509Ptr x = ParseCertificate(der, length))
            one.push_back(std::move(x));
        ERR_clear_error();
        if (one.empty())
            return E_COMMON_INVALIDDATA;
        HRESULT hr = Fits(one);
        if (SUCCEEDED(hr))
            Add(one);
        return hr;
    }

    HRESULT importCertificates(const unsigned char* data, unsigned long length) override
    {
        if (data == nullptr || length == 0 || length > kMaxInput)
            return E_COMMON_INVALIDDATA;
        std::vector<X509Ptr> found;
        if (LooksLikePem(data, length)) {
            HRESULT hr = ReadPem(data, length, found);
            if (FAILED(hr))
                return hr;
        } else if (X509Ptr x = ParseCertificate(data, length)) {
            found.push_back(std::move(x));
        } else {
            const unsigned char* p = data;
            Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(length)));
            if (p7 && p == data + length)
                CertificatesOfPkcs7(p7.get(), found);
        }
        ERR_clear_error();
        if (found.empty())
            return E_COMMON_INVALIDDATA;
        HRESULT hr = Fits(found);
        if (SUCCEEDED(hr))
            Add(found);
        return hr;
    }

    HRESULT getChainCertificate(unsigned long index, unsigned char* buffer, unsigned long* length) override
    {
        if (length == nullptr)
            return E_POINTER;
        X509* own = Own();
        if (own == nullptr)
            return E_COMMON_INVALIDDATA;
        std::vector<X509*> chain = ChainFrom(own);
        if (index >= chain.size())
            return E_COMMON_INVALIDDATA;
        Bytes der = DerOf(chain[index]);
        return HandOut(der.data(), der.size(), buffer, length);
    }

    HRESULT getTrustedCertificate(unsigned long index, unsigned char* buffer, unsigned long* length) override
    {
        if (length == nullptr)
            return E_POINTER;
        unsigned long seen = 0;
        for (const X509Ptr& c : m_certificates) {
            if (!SelfSigned(c.get()) || X509_check_ca(c.get()) <= 0)
                continue;
            if (seen++ == index) {
                Bytes der = DerOf(c.get());
                ERR_clear_error();
                return HandOut(der.data(), der.size(), buffer, length);
            }
        }
        ERR_clear_error();
        *length = 0;
        return S_OK;
    }

    HRESULT reportMissingCertificate(char* text, unsigned long* length) override
    {
        if (length == nullptr)
            return E_POINTER;
        X509* start = Own();
        if (start == nullptr && !m_certificates.empty())
            start = m_certificates.front().get();
        std::vector<X509*> chain = start != nullptr ? ChainFrom(start) : std::vector<X509*>();
        if (chain.empty() || SelfSigned(chain.back())) {
            ERR_clear_error();
            *length = 0;
            return S_OK;
        }
        ERR_clear_error();
        std::string name = NameText(X509_get_issuer_name(chain.back()));
        return HandOut(reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1,
                       reinterpret_cast<unsigned char*>(text), length);
    }

    HRESULT exportPSE(int, const char* password, unsigned long passwordLength, unsigned char* buffer,
                      unsigned long* length) override
    {
        if (length == nullptr)
            return E_POINTER;
        if (!m_key && m_certificates.empty())
            return E_COMMON_INVALIDDATA;
        if (password == nullptr)
            passwordLength = 0;
        filepse::PseImage image;
        X509* own = Own();
        static const Bytes kLocalKeyId {1};
        if (m_key) {
            filepse::KeyBag key;
            key.pkcs8 = m_pkcs8;
            if (own != nullptr)
                key.localKeyId = kLocalKeyId;
            image.keys.push_back(std::move(key));
        }
        for (const X509Ptr& c : m_certificates) {
            filepse::CertificateBag bag;
            bag.der = DerOf(c.get());
            if (c.get() == own)
                bag.localKeyId = kLocalKeyId;
            image.certificates.push_back(std::move(bag));
        }
        std::string text(password != nullptr ? password : "", passwordLength);
        Bytes der;
        HRESULT hr = filepse::BuildPseFile(image, text.c_str(), text.size(), &der);
        OPENSSL_cleanse(text.data(), text.size());
        ERR_clear_error();
        if (FAILED(hr))
            return hr;
        return HandOut(der.data(), der.size(), buffer, length);
    }

    HRESULT exportPKCS12(int, const char* algorithm, const char* password, unsigned long passwordLength,
                         unsigned char* buffer, unsigned long* length) override
    {
        if (length == nullptr)
            return E_POINTER;
        X509* own = Own();
        if (own == nullptr)
            return E_COMMON_INVALIDDATA;
        const int nid = algorithm != nullptr ? OBJ_txt2nid(algorithm) : NID_undef;
        if (nid == NID_undef || EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, nullptr, nullptr, nullptr) != 1) {
            ERR_clear_error();
            return E_INVALIDARG;
        }
        if (password == nullptr)
            passwordLength = 0;
        static const Bytes kLocalKeyId {1};
        std::vector<ossl::P12BagData> bags;
        ossl::P12BagData key;
        key.kind = ossl::P12_KEY_BAG;
        key.encrypted = true;
        key.pkcs8 = m_pkcs8;
        key.localKeyId = kLocalKeyId;
        bags.push_back(std::move(key));
        // The key's chain first, then whatever else is held.
        std::vector<X509*> order = ChainFrom(own);
        for (const X509Ptr& c : m_certificates)
            if (std::find(order.begin(), order.end(), c.get()) == order.end())
                order.push_back(c.get());
        for (X509* c : order) {
            ossl::P12BagData bag;
            bag.kind = ossl::P12_CERT_BAG;
            if (X509_up_ref(c) != 1)
                return E_OUTOFMEMORY;
            bag.cert.reset(c);
            if (c == own)
                bag.localKeyId = kLocalKeyId;
            bags.push_back(std::move(bag));
        }
        ossl::P12Params params;
        params.macDigestNid = NID_sha1;
        params.certPbeNid = nid;
        params.keyPbeNid = nid;
        params.iterations = kPkcs12Iterations;
        std::string text(password != nullptr ? password : "", passwordLength);
        Bytes der;
        HRESULT hr = ossl::EncodePkcs12(bags, params, text.c_str(), der);
        OPENSSL_cleanse(text.data(), text.size());
        ERR_clear_error();
        if (FAILED(hr))
            return hr;
        return HandOut(der.data(), der.size(), buffer, length);
    }

private:
    const GUID& Iid() const override { return IID_KeyConverter; }

    static HRESULT Pkcs8Of(EVP_PKEY* key, SecretBytes& out)
    {
        ossl::P8InfPtr p8(EVP_PKEY2PKCS8(key));
        int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr) : 0;
        if (n <= 0)
            return E_COMMON_INVALIDDATA;
        out.resize(static_cast<size_t>(n));
        unsigned char* p = out.data();
        i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &p);
        return S_OK;
    }

    static std::string NameText(const X509_NAME* name)
    {
        std::string text;
        BioPtr bio(BIO_new(BIO_s_mem()));
        if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
            return text;
        char* data = nullptr;
        long n = BIO_get_mem_data(bio.get(), &data);
        if (n > 0)
            text.assign(data, static_cast<size_t>(n));
        return text;
    }

    bool Holds(X509* x) const
    {
        for (const X509Ptr& c : m_certificates)
            if (X509_cmp(c.get(), x) == 0)
                return true;
        return false;
    }

    // Whether the new certificates leave the set within its bound.
    HRESULT Fits(const std::vector<X509Ptr>& more) const
    {
        size_t count = m_certificates.size();
        for (const X509Ptr& c : more)
            if (!Holds(c.get()))
                ++count;
        return count <= kMaxCertificates ? S_OK : E_COMMON_INVALIDDATA;
    }

    void Add(std::vector<X509Ptr>& more)
    {
        for (X509Ptr& c : more)
            if (!Holds(c.get()))
                m_certificates.push_back(std::move(c));
    }

    // The certificate of the held key.
    X509* Own() const
    {
        if (!m_key)
            return nullptr;
        for (const X509Ptr& c : m_certificates) {
            if (X509_check_private_key(c.get(), m_key.get()) == 1) {
                ERR_clear_error();
                return c.get();
            }
        }
        ERR_clear_error();
        return nullptr;
    }

    // `start` and its issuers among the held certificates, to a self-signed one.
    std::vector<X509*> ChainFrom(X509* start) const
    {
        std::vector<X509*> chain {start};
        while (chain.size() <= m_certificates.size() && !SelfSigned(chain.back())) {
            X509* issuer = nullptr;
            for (const X509Ptr& c : m_certificates) {
                if (std::find(chain.begin(), chain.end(), c.get()) != chain.end())
                    continue;
                if (X509_check_issued(c.get(), chain.back()) == X509_V_OK
                    && X509_verify(chain.back(), X509_get0_pubkey(c.get())) == 1) {
                    issuer = c.get();
                    break;
                }
            }
            if (issuer == nullptr)
                break;
            chain.push_back(issuer);
        }
        ERR_clear_error();
        return chain;
    }

    ossl::EvpPkeyPtr m_key;
    SecretBytes m_pkcs8;
    std::vector<X509Ptr> m_certificates;  // in the order they came, each once
};

}  // namespace

HRESULT CreateKeyConverter(KeyConverter** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) KeyConverterObject();
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace kestrin::qevcrypto
