#include "ossl_pkcs12.h"

#include <openssl/pkcs7.h>

#include <climits>

#include "ossl_providers.h"

namespace kestrin::qevcrypto::ossl {
namespace {

struct SafeBagStackFree {
    void operator()(STACK_OF(PKCS12_SAFEBAG) * s) const { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
using SafeBagStack = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagStackFree>;

struct Pkcs7StackFree {
    void operator()(STACK_OF(PKCS7) * s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};
using Pkcs7Stack = std::unique_ptr<STACK_OF(PKCS7), Pkcs7StackFree>;

// Nested safe-contents bags deeper than this are refused.
constexpr int kMaxNesting = 4;

HRESULT AddAttributes(PKCS12_SAFEBAG* bag, const P12BagData& in)
{
    if (in.localKeyId
        && !PKCS12_add_localkeyid(bag, const_cast<unsigned char*>(in.localKeyId->data()),
                                  static_cast<int>(in.localKeyId->size())))
        return E_FAIL;
    if (in.friendlyName
        && !PKCS12_add_friendlyname_uni(bag, in.friendlyName->data(), static_cast<int>(in.friendlyName->size())))
        return E_FAIL;
    return S_OK;
}

HRESULT MakeBag(const P12BagData& in, const P12Params& params, const char* password, SafeBagPtr& out)
{
    if ((in.localKeyId && in.localKeyId->size() > INT_MAX) || (in.friendlyName && in.friendlyName->size() > INT_MAX))
        return E_INVALIDARG;
    if (in.kind == P12_CERT_BAG) {
        if (!in.cert)
            return E_INVALIDARG;
        out.reset(PKCS12_SAFEBAG_create_cert(in.cert.get()));
    } else if (in.kind == P12_KEY_BAG) {
        if (in.pkcs8.empty() || in.pkcs8.size() > LONG_MAX)
            return E_INVALIDARG;
        const unsigned char* p = in.pkcs8.data();
        P8InfPtr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(in.pkcs8.size())));
        if (!p8)
            return E_INVALIDARG;
        if (in.encrypted) {
            out.reset(PKCS12_SAFEBAG_create_pkcs8_encrypt(params.keyPbeNid, password, -1, nullptr, 0, params.iterations,
                                                          p8.get()));
        } else {
            out.reset(PKCS12_SAFEBAG_create0_p8inf(p8.get()));
            if (out)
                p8.release();
        }
    } else {
        return E_INVALIDARG;
    }
    if (!out)
        return E_FAIL;
    return AddAttributes(out.get(), in);
}

HRESULT CloseSafe(SafeBagStack& bags, bool certificates, const P12Params& params, const char* password,
                  STACK_OF(PKCS7) * safes)
{
    if (!bags || sk_PKCS12_SAFEBAG_num(bags.get()) == 0)
        return S_OK;
    PKCS7* p7 = certificates && params.certPbeNid != NID_undef
                    ? PKCS12_pack_p7encdata(params.certPbeNid, password, -1, nullptr, 0, params.iterations, bags.get())
                    : PKCS12_pack_p7data(bags.get());
    if (p7 == nullptr)
        return E_FAIL;
    if (!sk_PKCS7_push(safes, p7)) {
        PKCS7_free(p7);
        return E_OUTOFMEMORY;
    }
    bags.reset();
    return S_OK;
}

std::optional<Bytes> AttributeBytes(const PKCS12_SAFEBAG* bag, int nid, int type)
{
    const ASN1_TYPE* attr = PKCS12_SAFEBAG_get0_attr(bag, nid);
    if (attr == nullptr || attr->type != type)
        return std::nullopt;
    const ASN1_STRING* s = attr->value.asn1_string;
    const unsigned char* d = ASN1_STRING_get0_data(s);
    return Bytes(d, d + ASN1_STRING_length(s));
}

HRESULT ReadBags(const STACK_OF(PKCS12_SAFEBAG) * in, const char* password, int passlen, int depth,
                 std::vector<P12BagData>& out)
{
    if (depth > kMaxNesting)
        return E_FAIL;
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(in); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(in, i);
        P12BagData data;
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
        case NID_pkcs8ShroudedKeyBag: {
            P8InfPtr owned;
            const PKCS8_PRIV_KEY_INFO* p8 = nullptr;
            if (PKCS12_SAFEBAG_get_nid(bag) == NID_keyBag) {
                p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
            } else {
                owned.reset(PKCS12_decrypt_skey(bag, password, passlen));
                p8 = owned.get();
                data.encrypted = true;
            }
            if (p8 == nullptr)
                return E_FAIL;
            unsigned char* der = nullptr;
            int len = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
            if (len <= 0)
                return E_FAIL;
            data.pkcs8.assign(der, der + len);
            OPENSSL_clear_free(der, static_cast<size_t>(len));
            data.kind = P12_KEY_BAG;
            break;
        }
        case NID_certBag:
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate)
                continue;
            data.cert.reset(PKCS12_SAFEBAG_get1_cert(bag));
            if (!data.cert)
                return E_FAIL;
            data.kind = P12_CERT_BAG;
            break;
        case NID_safeContentsBag: {
            HRESULT hr = ReadBags(PKCS12_SAFEBAG_get0_safes(bag), password, passlen, depth + 1, out);
            if (FAILED(hr))
                return hr;
            continue;
        }
        default:
            continue;
        }
        data.friendlyName = AttributeBytes(bag, NID_friendlyName, V_ASN1_BMPSTRING);
        data.localKeyId = AttributeBytes(bag, NID_localKeyID, V_ASN1_OCTET_STRING);
        out.push_back(std::move(data));
    }
    return S_OK;
}

}  // namespace

HRESULT EncodePkcs12(const std::vector<P12BagData>& bags, const P12Params& params, const char* password, Bytes& der)
{
    der.clear();
    if (params.iterations <= 0)
        return E_INVALIDARG;
    const EVP_MD* md = EVP_get_digestbynid(params.macDigestNid);
    if (md == nullptr)
        return E_INVALIDARG;
    if (!EnsureLegacyProvider())
        return E_FAIL;

    Pkcs7Stack safes(sk_PKCS7_new_null());
    if (!safes)
        return E_OUTOFMEMORY;
    SafeBagStack run;
    int runKind = -1;
    for (const P12BagData& in : bags) {
        if (in.kind != runKind) {
            HRESULT hr = CloseSafe(run, runKind == P12_CERT_BAG, params, password, safes.get());
            if (FAILED(hr))
                return hr;
            runKind = in.kind;
        }
        SafeBagPtr bag;
        HRESULT hr = MakeBag(in, params, password, bag);
        if (FAILED(hr))
            return hr;
        if (!run)
            run.reset(sk_PKCS12_SAFEBAG_new_null());
        if (!run || !sk_PKCS12_SAFEBAG_push(run.get(), bag.get()))
            return E_OUTOFMEMORY;
        bag.release();
    }
    HRESULT hr = CloseSafe(run, runKind == P12_CERT_BAG, params, password, safes.get());
    if (FAILED(hr))
        return hr;

    Pkcs12Ptr p12(PKCS12_init(NID_pkcs7_data));
    if (!p12 || !PKCS12_pack_authsafes(p12.get(), safes.get()))
        return E_FAIL;
    if (!PKCS12_set_mac(p12.get(), password, -1, nullptr, 0, params.iterations, md))
        return E_FAIL;
    unsigned char* out = nullptr;
    int len = i2d_PKCS12(p12.get(), &out);
    if (len <= 0)
        return E_FAIL;
    der.assign(out, out + len);
    OPENSSL_free(out);
    return S_OK;
}

HRESULT ParsePkcs12(const uint8_t* der, size_t length, const char* password, std::vector<P12BagData>& bags,
                    bool& verified)
{
    bags.clear();
    verified = false;
    if (der == nullptr || length == 0 || length > kMaxPkcs12Size)
        return E_INVALIDARG;
    if (!EnsureLegacyProvider())
        return E_FAIL;
    const unsigned char* p = der;
    Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(length)));
    if (!p12)
        return E_INVALIDARG;
    if (!PKCS12_mac_present(p12.get()))
        return E_FAIL;

    // An empty password may have been encoded as no password or as an empty
    // one; whichever the integrity code accepts also decrypts the bags.
    const char* pass = password;
    int passlen = -1;
    if (password == nullptr || *password == '\0') {
        if (PKCS12_verify_mac(p12.get(), nullptr, 0)) {
            pass = nullptr;
            passlen = 0;
            verified = true;
        } else if (PKCS12_verify_mac(p12.get(), "", 0)) {
            pass = "";
            passlen = 0;
            verified = true;
        }
    } else {
        verified = PKCS12_verify_mac(p12.get(), password, -1) == 1;
    }
    if (!verified)
        return E_FAIL;

    Pkcs7Stack safes(PKCS12_unpack_authsafes(p12.get()));
    if (!safes)
        return E_FAIL;
    std::vector<P12BagData> out;
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        SafeBagStack content;
        if (PKCS7_type_is_data(p7))
            content.reset(PKCS12_unpack_p7data(p7));
        else if (PKCS7_type_is_encrypted(p7))
            content.reset(PKCS12_unpack_p7encdata(p7, pass, passlen));
        else
            continue;
        if (!content)
            return E_FAIL;
        HRESULT hr = ReadBags(content.get(), pass, passlen, 0, out);
        if (FAILED(hr))
            return hr;
    }
    bags = std::move(out);
    return S_OK;
}

}  // namespace kestrin::qevcrypto::ossl
