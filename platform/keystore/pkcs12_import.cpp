// Import of an identity from PKCS#12 bytes.
#include <openssl/crypto.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

using detail::EvpPkeyPtr;
using detail::X509Ptr;

// The password as PKCS#12 functions want it, wiped when done.
class Password {
public:
    explicit Password(std::string_view text)
    {
        // Sized once, so that no unwiped copy is left behind by a reallocation.
        text_.reserve(text.size() + 1);
        text_.assign(text.begin(), text.end());
        text_.push_back('\0');
    }
    ~Password() { OPENSSL_cleanse(text_.data(), text_.capacity()); }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    // Null with a zero length: the "no password" form of some files.
    void UseNull() { null_ = true; }
    const char* get() const { return null_ ? nullptr : text_.data(); }
    int length() const { return null_ ? 0 : static_cast<int>(text_.size() - 1); }

private:
    std::vector<char> text_;
    bool null_ = false;
};

struct Bag {
    X509Ptr cert;
    std::string friendlyName;
};

struct Contents {
    EvpPkeyPtr key;
    std::string keyName;
    std::vector<Bag> certs;
};

std::string FriendlyName(const PKCS12_SAFEBAG* bag)
{
    char* name = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag));
    if (name == nullptr)
        return {};
    std::string text(name);
    OPENSSL_free(name);
    return text;
}

HRESULT TakeKey(const PKCS8_PRIV_KEY_INFO* p8, const PKCS12_SAFEBAG* bag, Contents* out)
{
    if (out->key)
        return S_OK;  // only the first key counts
    EvpPkeyPtr key(EVP_PKCS82PKEY_ex(p8, detail::LibCtx(), nullptr));
    if (!key)
        return KEYSTORE_E_PKCS12_FORMAT;
    out->key = std::move(key);
    out->keyName = FriendlyName(bag);
    return S_OK;
}

HRESULT ReadBags(const STACK_OF(PKCS12_SAFEBAG) * bags, const Password& password, int depth, Contents* out)
{
    if (depth > 4)
        return KEYSTORE_E_PKCS12_FORMAT;
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        HRESULT hr = S_OK;
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
            hr = TakeKey(PKCS12_SAFEBAG_get0_p8inf(bag), bag, out);
            break;
        case NID_pkcs8ShroudedKeyBag: {
            if (out->key)
                break;
            detail::Pkcs8Ptr p8(
                PKCS12_decrypt_skey_ex(bag, password.get(), password.length(), detail::LibCtx(), nullptr));
            if (!p8)
                return KEYSTORE_E_PKCS12_PASSWORD;
            hr = TakeKey(p8.get(), bag, out);
            break;
        }
        case NID_certBag: {
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate)
                break;
            X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
            if (!cert)
                return KEYSTORE_E_PKCS12_FORMAT;
            out->certs.push_back({std::move(cert), FriendlyName(bag)});
            break;
        }
        case NID_safeContentsBag:
            hr = ReadBags(PKCS12_SAFEBAG_get0_safes(bag), password, depth + 1, out);
            break;
        default:
            break;
        }
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

void FreeBags(STACK_OF(PKCS12_SAFEBAG) * bags)
{
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
}
void FreeAuthsafes(STACK_OF(PKCS7) * safes)
{
    sk_PKCS7_pop_free(safes, PKCS7_free);
}
using BagsPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), detail::OsslDeleter<FreeBags>>;
using AuthsafesPtr = std::unique_ptr<STACK_OF(PKCS7), detail::OsslDeleter<FreeAuthsafes>>;

HRESULT ParsePkcs12(std::span<const uint8_t> data, Password& password, Contents* out)
{
    detail::LibCtxScope scope;
    const unsigned char* p = data.data();
    detail::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(data.size())));
    if (!p12)
        return KEYSTORE_E_PKCS12_FORMAT;
    bool mac = PKCS12_mac_present(p12.get()) == 1;
    if (mac && !PKCS12_verify_mac(p12.get(), password.get(), password.length())) {
        if (password.length() != 0)
            return KEYSTORE_E_PKCS12_PASSWORD;
        password.UseNull();
        if (!PKCS12_verify_mac(p12.get(), nullptr, 0))
            return KEYSTORE_E_PKCS12_PASSWORD;
    }
    AuthsafesPtr safes(PKCS12_unpack_authsafes(p12.get()));
    if (!safes)
        return KEYSTORE_E_PKCS12_FORMAT;
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        BagsPtr bags;
        switch (OBJ_obj2nid(p7->type)) {
        case NID_pkcs7_data:
            bags.reset(PKCS12_unpack_p7data(p7));
            if (!bags)
                return KEYSTORE_E_PKCS12_FORMAT;
            break;
        case NID_pkcs7_encrypted:
            bags.reset(PKCS12_unpack_p7encdata(p7, password.get(), password.length()));
            if (!bags)
                return mac ? KEYSTORE_E_PKCS12_FORMAT : KEYSTORE_E_PKCS12_PASSWORD;
            break;
        default:
            continue;
        }
        HRESULT hr = ReadBags(bags.get(), password, 0, out);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT EncodeKey(EVP_PKEY* key, SecretBytes* out)
{
    detail::Pkcs8Ptr p8(EVP_PKEY2PKCS8(key));
    if (!p8)
        return KEYSTORE_E_UNSUPPORTED;
    unsigned char* der = nullptr;
    int len = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der);
    if (len <= 0)
        return KEYSTORE_E_UNSUPPORTED;
    HRESULT hr = out->Assign({der, static_cast<size_t>(len)});
    OPENSSL_clear_free(der, static_cast<size_t>(len));
    return hr;
}

}  // namespace

HRESULT KeyStore::ImportPkcs12(std::span<const uint8_t> data, std::string_view password, Pkcs12Import* out)
{
    if (data.empty() || data.size() > kMaxPkcs12Size || password.size() > kMaxSecretSize)
        return E_INVALIDARG;
    return NoThrow([&] {
        Contents contents;
        {
            Password pass(password);
            HRESULT hr = ParsePkcs12(data, pass, &contents);
            if (FAILED(hr))
                return hr;
        }
        if (!contents.key)
            return KEYSTORE_E_PKCS12_NO_IDENTITY;
        size_t leaf = contents.certs.size();
        for (size_t i = 0; i < contents.certs.size() && leaf == contents.certs.size(); ++i) {
            if (X509_check_private_key(contents.certs[i].cert.get(), contents.key.get()) == 1)
                leaf = i;
        }
        if (leaf == contents.certs.size())
            return KEYSTORE_E_PKCS12_NO_IDENTITY;

        Pkcs12Import result;
        Identity& identity = result.identity;
        HRESULT hr = detail::EncodeCertificate(contents.certs[leaf].cert.get(), &identity.certificate, &identity.sha1);
        if (FAILED(hr))
            return hr;
        identity.printName = !contents.keyName.empty() ? contents.keyName : contents.certs[leaf].friendlyName;
        detail::DescribeKey(contents.key.get(), &identity.keyType, &identity.keyBits);
        result.chain.push_back({identity.sha1, identity.certificate, true});
        for (size_t i = 0; i < contents.certs.size(); ++i) {
            if (i == leaf)
                continue;
            Certificate cert;
            hr = detail::EncodeCertificate(contents.certs[i].cert.get(), &cert.der, &cert.sha1);
            if (FAILED(hr))
                return hr;
            result.chain.push_back(std::move(cert));
        }
        Fingerprint keyId;
        hr = detail::PublicKeyId(contents.certs[leaf].cert.get(), &keyId);
        if (FAILED(hr))
            return hr;
        SecretBytes pkcs8;
        hr = EncodeKey(contents.key.get(), &pkcs8);
        contents.key.reset();
        if (FAILED(hr))
            return hr;

        hr = impl_->Change(kIdentitiesChanged, [&] {
            sqlite3* db = impl_->db;
            detail::Statement before;
            HRESULT step = before.Prepare(db, "SELECT print_name FROM keys WHERE key_id = ?1");
            before.Bind(1, std::span<const uint8_t>(keyId));
            if (SUCCEEDED(step))
                step = before.Step();
            if (FAILED(step))
                return step;
            result.keyWasPresent = step == S_OK;
            if (result.keyWasPresent)
                result.previousPrintName = before.Text(0);
            detail::Statement key;
            step = key.Prepare(db, "INSERT INTO keys(key_id, pkcs8, print_name, key_type, key_bits)"
                                   " VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key_id) DO UPDATE SET"
                                   " pkcs8 = excluded.pkcs8, print_name = excluded.print_name");
            key.Bind(1, std::span<const uint8_t>(keyId));
            key.Bind(2, pkcs8.span());
            key.Bind(3, std::string_view(identity.printName));
            key.Bind(4, static_cast<int64_t>(identity.keyType));
            key.Bind(5, static_cast<int64_t>(identity.keyBits));
            if (SUCCEEDED(step))
                step = key.Step();
            if (FAILED(step))
                return step;
            detail::Statement cert;
            step = cert.Prepare(
                db, "INSERT INTO certificates(sha1, key_id, der) VALUES(?1, ?2, ?3) ON CONFLICT(sha1) DO NOTHING");
            cert.Bind(1, std::span<const uint8_t>(identity.sha1));
            cert.Bind(2, std::span<const uint8_t>(keyId));
            cert.Bind(3, std::span<const uint8_t>(identity.certificate));
            if (SUCCEEDED(step))
                step = cert.Step();
            if (FAILED(step))
                return step;
            result.certificateWasPresent = sqlite3_changes(db) == 0;
            return S_OK;
        });
        if (FAILED(hr))
            return hr;
        if (out != nullptr)
            *out = std::move(result);
        return S_OK;
    });
}

}  // namespace kestrin::keystore
