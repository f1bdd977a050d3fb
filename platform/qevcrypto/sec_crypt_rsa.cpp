// "SEC_CRYPT_1" slots 2 to 4: RSA key pairs with progress and cancellation
// (EC key pairs on the named curves), the size of a key, and PKCS#1 v1.5
// signatures.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>

#include "ossl/ossl_util.h"
#include "qev_crypt.h"
#include "qev_tables.h"
#include "sec_attr.h"
#include "sec_commontypes.h"
#include "sec_crypt_keys.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

constexpr uint64_t kMinRsaBits = 512;
constexpr uint64_t kMaxRsaBits = 16384;

struct Progress {
    SEC_PROGRESS_TASK* task = nullptr;
    uint64_t steps = 0;
    bool cancelled = false;
};

int OnKeygenStep(EVP_PKEY_CTX* ctx)
{
    auto* p = static_cast<Progress*>(EVP_PKEY_CTX_get_app_data(ctx));
    if (p == nullptr || p->task == nullptr)
        return 1;
    // OpenSSL may ask once more after a refusal; the task was told to stop.
    if (p->cancelled)
        return 0;
    ++p->steps;
    if (p->task->table->task_state(p->task, p->steps, 0) != S_OK) {
        p->cancelled = true;
        return 0;
    }
    return 1;
}

KeyInfo* NewKeyInfo(const AlgId* algorithm, const uint8_t* bytes, size_t length, uint64_t bits)
{
    KeyInfo* k = values::NewZeroed<KeyInfo>();
    if (k == nullptr)
        return nullptr;
    k->bits = bits;
    k->algorithm = values::CopyAlgId(algorithm);
    k->key = static_cast<unsigned char*>(std::malloc(length == 0 ? 1 : length));
    if (k->algorithm == nullptr || k->key == nullptr) {
        values::FreeKeyInfo(k);
        return nullptr;
    }
    std::memcpy(k->key, bytes, length);
    return k;
}

HRESULT PrivateKeyInfoOf(EVP_PKEY* key, KeyInfo** out)
{
    ossl::P8InfPtr p8(EVP_PKEY2PKCS8(key));
    unsigned char* der = nullptr;
    int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : -1;
    if (n <= 0)
        return E_FAIL;
    PrivateKeyInfo* record = nullptr;
    HRESULT hr = values::PrivateKeyInfoFromDer(der, static_cast<size_t>(n), &record);
    OPENSSL_clear_free(der, static_cast<size_t>(n));
    if (FAILED(hr))
        return hr;
    *out = NewKeyInfo(record->algorithm, record->privateKey->data, record->privateKey->length,
                      record->privateKey->length * 8);
    values::FreePrivateKeyInfo(record);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT PublicKeyInfoOf(EVP_PKEY* key, KeyInfo** out)
{
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    if (n <= 0)
        return E_FAIL;
    OctetString octets {static_cast<uint64_t>(n), der};
    void* value = nullptr;
    HRESULT hr = commontypes::TypeTable(SEC_TYPE_KeyInfo)->decode(&octets, &value);
    OPENSSL_free(der);
    *out = static_cast<KeyInfo*>(value);
    return hr;
}

HRESULT Deliver(SECAttribute* chain, KeyInfo* key)
{
    for (SECAttribute* a = chain; a != nullptr; a = a->next)
        if (a->id == SEC_ATTR_KEY) {
            a->value = key;
            a->owned = 1;
            a->answered = 1;
            a->type = commontypes::TypeTable(SEC_TYPE_KeyInfo);
            return S_OK;
        }
    values::FreeKeyInfo(key);
    return E_INVALIDARG;
}

// The named curve of an id-ecPublicKey algorithm, NID_undef for any other.
int CurveOf(const AlgId* algorithm)
{
    static const unsigned char kEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    if (algorithm == nullptr || algorithm->objid == nullptr || algorithm->param == nullptr
        || algorithm->objid->length != sizeof kEcPublicKey
        || std::memcmp(algorithm->objid->data, kEcPublicKey, sizeof kEcPublicKey) != 0 || algorithm->param->length > 64
        || algorithm->param->data == nullptr)
        return NID_undef;
    const unsigned char* p = algorithm->param->data;
    ossl::Asn1ObjectPtr curve(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(algorithm->param->length)));
    if (!curve || p != algorithm->param->data + algorithm->param->length)
        return NID_undef;
    const int nid = OBJ_obj2nid(curve.get());
    return nid == NID_X9_62_prime256v1 || nid == NID_secp384r1 || nid == NID_secp521r1 ? nid : NID_undef;
}

HRESULT GenerateEc(const AlgId* algorithm, ossl::EvpPkeyPtr& key)
{
    const int curve = CurveOf(algorithm);
    if (curve == NID_undef)
        return E_INVALIDARG;
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", OBJ_nid2sn(curve));
    key.reset(raw);
    return raw != nullptr ? S_OK : E_FAIL;
}

HRESULT GenerateRsa(const SECAttribute* input, ossl::EvpPkeyPtr& key)
{
    const uint64_t bits = AttributeNumber(input, SEC_ATTR_KEY_BITS, 0);
    if (bits < kMinRsaBits || bits > kMaxRsaBits)
        return SEC_E_KEY_LENGTH;
    if (AttributeNumber(input, SEC_ATTR_ALGORITHM, 0) != SEC_KEY_ALGORITHM_RSA)
        return E_INVALIDARG;
    Progress progress;
    const SECAttribute* p = FindAttribute(input, SEC_ATTR_PROGRESS);
    auto* reporter = p != nullptr ? static_cast<SEC_PROGRESS*>(p->value) : nullptr;
    if (reporter != nullptr && reporter->table != nullptr
        && (reporter->table->start_task(reporter, &progress.task, "RSA key generation", 0) != S_OK
            || progress.task == nullptr || progress.task->table == nullptr))
        progress.task = nullptr;

    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    bool made = ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1
                && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) == 1;
    if (made) {
        EVP_PKEY_CTX_set_app_data(ctx, &progress);
        EVP_PKEY_CTX_set_cb(ctx, &OnKeygenStep);
        EVP_PKEY* raw = nullptr;
        made = EVP_PKEY_keygen(ctx, &raw) == 1;
        key.reset(raw);
    }
    EVP_PKEY_CTX_free(ctx);
    if (progress.task != nullptr)
        progress.task->table->task_finish(progress.task);
    if (progress.cancelled)
        return SEC_E_CANCELLED;
    return made ? S_OK : E_FAIL;
}

HRESULT sec_crypt_gen_keypair(const SECAttribute* input, const SECAttribute*, SECAttribute* privateOut,
                              const SECAttribute*, SECAttribute* publicOut)
{
    if (FindAttribute(privateOut, SEC_ATTR_KEY) == nullptr || FindAttribute(publicOut, SEC_ATTR_KEY) == nullptr)
        return E_INVALIDARG;
    ossl::EvpPkeyPtr key;
    const SECAttribute* ec = FindAttribute(input, SEC_ATTR_KEY_ALGORITHM);
    HRESULT hr = ec != nullptr ? GenerateEc(static_cast<const AlgId*>(ec->value), key) : GenerateRsa(input, key);
    if (FAILED(hr))
        return hr;
    KeyInfo* priv = nullptr;
    KeyInfo* pub = nullptr;
    hr = PrivateKeyInfoOf(key.get(), &priv);
    if (SUCCEEDED(hr))
        hr = PublicKeyInfoOf(key.get(), &pub);
    if (FAILED(hr)) {
        values::FreeKeyInfo(priv);
        values::FreeKeyInfo(pub);
        return hr;
    }
    hr = Deliver(privateOut, priv);
    if (SUCCEEDED(hr))
        hr = Deliver(publicOut, pub);
    else
        values::FreeKeyInfo(pub);
    return hr;
}

uint32_t sec_crypt_get_key_size(const KeyInfo* key)
{
    ossl::EvpPkeyPtr k = KeyOfInfo(key);
    return k ? static_cast<uint32_t>(EVP_PKEY_get_bits(k.get())) : 0;
}

// The digest of a signature algorithm such as sha1WithRSAEncryption.
const EVP_MD* DigestOf(const AlgId* algorithm)
{
    if (algorithm == nullptr || algorithm->objid == nullptr || algorithm->objid->length > 127)
        return nullptr;
    unsigned char der[130] = {0x06, static_cast<unsigned char>(algorithm->objid->length)};
    std::memcpy(der + 2, algorithm->objid->data, algorithm->objid->length);
    const unsigned char* p = der;
    ossl::Asn1ObjectPtr oid(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(algorithm->objid->length + 2)));
    int digest = NID_undef;
    int pkey = NID_undef;
    if (!oid || OBJ_find_sigid_algs(OBJ_obj2nid(oid.get()), &digest, &pkey) != 1 || pkey != NID_rsaEncryption)
        return nullptr;
    return EVP_get_digestbynid(digest);
}

HRESULT sec_crypt_sign(const SECAttribute* attributes, const unsigned char* data, uint64_t length,
                       unsigned char* buffer, OctetString* signature)
{
    if (signature == nullptr || buffer == nullptr || (data == nullptr && length > 0))
        return SEC_E_NULLARG;
    const SECAttribute* key = FindAttribute(attributes, SEC_ATTR_KEY);
    const SECAttribute* algorithm = FindAttribute(attributes, SEC_ATTR_SIGNATURE_ALGORITHM);
    const SECAttribute* parameters = FindAttribute(attributes, SEC_ATTR_SIGN_PARAMETERS);
    if (key == nullptr || algorithm == nullptr || parameters == nullptr || parameters->value == nullptr)
        return E_INVALIDARG;
    const auto* params = static_cast<const SEC_SIGN_PARAMETERS*>(parameters->value);
    if (params->scheme != SEC_SIGN_SCHEME_PKCS1 || params->input != SEC_SIGN_INPUT_MESSAGE)
        return E_INVALIDARG;
    const EVP_MD* md = DigestOf(static_cast<const AlgId*>(algorithm->value));
    ossl::EvpPkeyPtr k = KeyOfInfo(static_cast<const KeyInfo*>(key->value));
    if (md == nullptr || !k || EVP_PKEY_get_base_id(k.get()) != EVP_PKEY_RSA)
        return E_INVALIDARG;
    const int size = EVP_PKEY_get_size(k.get());
    if (size <= 0)
        return E_FAIL;
    if (signature->length < static_cast<uint64_t>(size))
        return SEC_E_BUFFER_TOO_SMALL;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    size_t written = signature->length;
    bool ok = ctx != nullptr && EVP_DigestSignInit(ctx, &pctx, md, nullptr, k.get()) == 1
              && EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1
              && EVP_DigestSign(ctx, buffer, &written, data, length) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return E_FAIL;
    signature->length = written;
    return S_OK;
}

}  // namespace

ossl::EvpPkeyPtr kestrin::qevcrypto::KeyOfInfo(const KeyInfo* k)
{
    if (k == nullptr || k->key == nullptr)
        return nullptr;
    ossl::SecretBytes pkcs8;
    if (SUCCEEDED(values::Pkcs8DerOfKey(k, pkcs8)) && pkcs8.size() <= LONG_MAX) {
        const unsigned char* p = pkcs8.data();
        ossl::P8InfPtr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())));
        if (p8)
            if (EVP_PKEY* key = EVP_PKCS82PKEY(p8.get()))
                return ossl::EvpPkeyPtr(key);
    }
    ossl::Bytes spki;
    if (FAILED(values::SpkiDer(k, spki)) || spki.size() > LONG_MAX)
        return nullptr;
    const unsigned char* p = spki.data();
    return ossl::EvpPkeyPtr(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

namespace {

QevSlotFill s_fillGenKeyPair("SEC_CRYPT_1", 2, qev_slot(&sec_crypt_gen_keypair));
QevSlotFill s_fillKeySize("SEC_CRYPT_1", 3, qev_slot(&sec_crypt_get_key_size));
QevSlotFill s_fillSign("SEC_CRYPT_1", 4, qev_slot(&sec_crypt_sign));

}  // namespace
