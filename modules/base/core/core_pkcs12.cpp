// PKCS#12 files of an identity: built from a key pair and its certificate
// chain, and read back into a key pair and certificates.
#include <cstring>
#include <memory>
#include <utility>

#include "core_bindings.h"
#include "core_helpers.h"
#include "qev_encode_bmp.h"
#include "qev_pkcs12.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"

namespace kestrin::base {
namespace {

constexpr char kLocalKeyId[] = "01";
constexpr int kIterations = 2048;

// Owns one value and frees it through its type table.
class Value {
public:
    explicit Value(const SEC_TYPE_TABLE* type, void* value = nullptr) : m_type(type), m_value(value) {}
    ~Value()
    {
        if (m_value != nullptr)
            m_type->free(m_value);
    }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    HRESULT New() { return m_type->new_node(&m_value); }
    template <class T>
    T* get() const
    {
        return static_cast<T*>(m_value);
    }
    void* release() { return std::exchange(m_value, nullptr); }

private:
    const SEC_TYPE_TABLE* m_type;
    void* m_value;
};

HRESULT FriendlyName(const char* text, OctetString** out)
{
    SEC_LATIN1_TO_BMP_FN toBmp = SEC_Encode_Latin1ToBmp(fptr__encode);
    if (toBmp == nullptr)
        return E_FAIL;
    return toBmp(text, out);
}

HRESULT LocalKeyId(OctetString** out)
{
    return OctetString_CreateByBuffer(kLocalKeyId, 2, out) == 0 ? S_OK : E_OUTOFMEMORY;
}

// Appends a new bag to the safe's list; *cursor is the tail link.
HRESULT AppendBag(SET_OF_P12_Bag**& cursor, int kind, const char* friendlyName, bool localKeyId, void* content,
                  const SEC_TYPE_TABLE* contentType)
{
    Value owned(contentType, content);
    Value bag(SEC_TypeTable(fptr__pkcs12_types, SEC_TYPE_P12_Bag));
    HRESULT hr = bag.New();
    if (FAILED(hr))
        return hr;
    P12_Bag* b = bag.get<P12_Bag>();
    b->kind = kind;
    b->encrypted = kind == P12_BAG_KEY ? 1 : 0;
    hr = FriendlyName(friendlyName, &b->friendlyName);
    if (SUCCEEDED(hr) && localKeyId)
        hr = LocalKeyId(&b->localKeyId);
    if (FAILED(hr))
        return hr;
    hr = SEC_TypeTable(fptr__pkcs12_types, SEC_TYPE_SET_OF_P12_Bag)->new_node(reinterpret_cast<void**>(cursor));
    if (FAILED(hr))
        return hr;
    b->content = owned.release();
    (*cursor)->element = static_cast<P12_Bag*>(bag.release());
    cursor = &(*cursor)->next;
    return S_OK;
}

HRESULT NewPrivateKeyInfo(const KeyPair* keyPair, PrivateKeyInfo** out)
{
    *out = nullptr;
    const KeyInfo* priv = keyPair->privateKey;
    if (priv == nullptr || priv->key == nullptr)
        return E_INVALIDARG;
    // The record names the public key's algorithm; a pair without a public
    // half names its private key's.
    const AlgId* algorithm = keyPair->publicKey != nullptr ? keyPair->publicKey->algorithm : priv->algorithm;
    if (algorithm == nullptr)
        return E_INVALIDARG;
    Value record(CommonType(SEC_TYPE_PrivateKeyInfo));
    HRESULT hr = record.New();
    if (FAILED(hr))
        return hr;
    PrivateKeyInfo* r = record.get<PrivateKeyInfo>();
    void* copy = nullptr;
    hr = CommonType(SEC_TYPE_AlgId)->copy(algorithm, &copy);
    if (FAILED(hr))
        return hr;
    r->algorithm = static_cast<AlgId*>(copy);
    if (OctetString_CreateByBuffer(priv->key, static_cast<unsigned long>(priv->bits / 8), &r->privateKey) != 0)
        return E_OUTOFMEMORY;
    *out = static_cast<PrivateKeyInfo*>(record.release());
    return S_OK;
}

HRESULT BuildSafe(const char* friendlyName, const KeyPair* keyPair, const SET_OF_Certificate* certificates, Value& safe)
{
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(CommonType(SEC_TYPE_ObjId));
    HRESULT hr = safe.New();
    if (FAILED(hr))
        return hr;
    P12_Safe* s = safe.get<P12_Safe>();
    s->version = 3;
    s->iterations = kIterations;
    if (FAILED(hr = objIds->from_text("SHA-1", &s->macDigest))
        || FAILED(hr = objIds->from_text("pbeWithSHA1And128BitRC4", &s->certificateEncryption))
        || FAILED(hr = objIds->from_text("pbeWithSHA1And3-KeyTripleDES-CBC", &s->keyEncryption)))
        return hr;

    SET_OF_P12_Bag** cursor = &s->bags;
    PrivateKeyInfo* record = nullptr;
    hr = NewPrivateKeyInfo(keyPair, &record);
    if (FAILED(hr))
        return hr;
    hr = AppendBag(cursor, P12_BAG_KEY, friendlyName, true, record, CommonType(SEC_TYPE_PrivateKeyInfo));
    if (FAILED(hr))
        return hr;

    const SEC_TYPE_TABLE* certType = CommonType(SEC_TYPE_Certificate);
    bool first = true;
    for (const SET_OF_Certificate* node = certificates; node != nullptr; node = node->next) {
        if (node->element == nullptr)
            continue;
        void* copy = nullptr;
        hr = certType->copy(node->element, &copy);
        if (FAILED(hr))
            return hr;
        if (first) {
            hr = AppendBag(cursor, P12_BAG_CERTIFICATE, friendlyName, true, copy, certType);
            first = false;
        } else {
            char* cn = nullptr;
            node->element->getSubjectCommonName(&cn);
            hr = AppendBag(cursor, P12_BAG_CERTIFICATE, cn != nullptr ? cn : "", false, copy, certType);
            sec_free(cn);
        }
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

bool SameOctets(const OctetString* a, const OctetString* b)
{
    return a != nullptr && b != nullptr && a->length == b->length
           && (a->length == 0 || std::memcmp(a->data, b->data, a->length) == 0);
}

HRESULT AppendCertificate(SET_OF_Certificate**& tail, SET_OF_Certificate* head, Certificate* cert)
{
    const SEC_TYPE_TABLE* type = CommonType(SEC_TYPE_Certificate);
    for (SET_OF_Certificate* n = head; n != nullptr; n = n->next)
        if (type->compare(n->element, cert) == 0)
            return S_OK;
    HRESULT hr = CommonType(SEC_TYPE_SET_OF_Certificate)->new_node(reinterpret_cast<void**>(tail));
    if (FAILED(hr))
        return hr;
    void* copy = nullptr;
    hr = type->copy(cert, &copy);
    (*tail)->element = static_cast<Certificate*>(copy);
    tail = &(*tail)->next;
    return hr;
}

// The private half of a key bag as a key of the pair.
HRESULT PrivateKeyOf(const P12_Bag* keyBag, KeyInfo** out)
{
    const auto* record = static_cast<const PrivateKeyInfo*>(keyBag->content);
    if (record == nullptr || record->privateKey == nullptr)
        return E_FAIL;
    Value key(CommonType(SEC_TYPE_KeyInfo));
    HRESULT hr = key.New();
    if (FAILED(hr))
        return hr;
    KeyInfo* k = key.get<KeyInfo>();
    void* algorithm = nullptr;
    hr = CommonType(SEC_TYPE_AlgId)->copy(record->algorithm, &algorithm);
    if (FAILED(hr))
        return hr;
    k->algorithm = static_cast<AlgId*>(algorithm);
    k->key = static_cast<unsigned char*>(sec_malloc(record->privateKey->length == 0 ? 1 : record->privateKey->length));
    if (k->key == nullptr)
        return E_OUTOFMEMORY;
    if (record->privateKey->length != 0)
        std::memcpy(k->key, record->privateKey->data, record->privateKey->length);
    k->bits = record->privateKey->length * 8;
    *out = static_cast<KeyInfo*>(key.release());
    return S_OK;
}

// The first key bag whose local key identifier names a certificate that the
// key belongs to; without such a pair, the first key bag alone.
HRESULT ChooseKey(SET_OF_P12_Bag* bags, KeyPair* pair, Certificate** paired)
{
    auto* pkcs12 = ZELK_ApiCast<SEC_PKCS12_TABLE>(fptr__pkcs12);
    const P12_Bag* firstKey = nullptr;
    for (SET_OF_P12_Bag* k = bags; k != nullptr; k = k->next) {
        const P12_Bag* keyBag = k->element;
        if (keyBag == nullptr || keyBag->kind != P12_BAG_KEY)
            continue;
        if (firstKey == nullptr)
            firstKey = keyBag;
        if (keyBag->localKeyId == nullptr || keyBag->localKeyId->length == 0)
            continue;
        for (SET_OF_P12_Bag* c = bags; c != nullptr; c = c->next) {
            const P12_Bag* certBag = c->element;
            if (certBag == nullptr || certBag->kind != P12_BAG_CERTIFICATE || certBag->content == nullptr
                || !SameOctets(certBag->localKeyId, keyBag->localKeyId))
                continue;
            auto* cert = static_cast<Certificate*>(certBag->content);
            KeyInfo* pub = nullptr;
            KeyInfo* priv = nullptr;
            HRESULT hr = cert->getPublicKeyInfo(&pub);
            if (SUCCEEDED(hr))
                hr = PrivateKeyOf(keyBag, &priv);
            KeyPair candidate {pub, priv};
            if (SUCCEEDED(hr) && pkcs12->key_pair_check(&candidate) == S_OK) {
                *pair = candidate;
                *paired = cert;
                return S_OK;
            }
            if (pub)
                CommonType(SEC_TYPE_KeyInfo)->free(pub);
            if (priv)
                CommonType(SEC_TYPE_KeyInfo)->free(priv);
            if (hr == E_OUTOFMEMORY)
                return hr;
        }
    }
    if (firstKey == nullptr)
        return E_FAIL;
    return PrivateKeyOf(firstKey, &pair->privateKey);
}

}  // namespace

HRESULT aux_create_pkcs12(const char* friendlyName, const KeyPair* keyPair, const SET_OF_Certificate* certificates,
                          const char* password, OctetString** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "aux_create_pkcs12");
    if (friendlyName == nullptr || keyPair == nullptr || certificates == nullptr || out == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    if (fptr__pkcs12 == nullptr || fptr__pkcs12_types == nullptr || fptr__common_types == nullptr)
        return trace.result = E_FAIL;
    Value safe(SEC_TypeTable(fptr__pkcs12_types, SEC_TYPE_P12_Safe));
    trace.result = BuildSafe(friendlyName, keyPair, certificates, safe);
    if (SUCCEEDED(trace.result))
        trace.result = ZELK_ApiCast<SEC_PKCS12_TABLE>(fptr__pkcs12)->encode(safe.get<P12_Safe>(), password, out);
    return trace.result;
}

HRESULT aux_open_pkcs12(const OctetString* pfx, const char* password, KeyPair** keyPair,
                        SET_OF_Certificate** certificates)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "aux_open_pkcs12");
    if (pfx == nullptr || keyPair == nullptr || certificates == nullptr)
        return trace.result = E_INVALIDARG;
    *keyPair = nullptr;
    *certificates = nullptr;
    if (fptr__pkcs12 == nullptr || fptr__pkcs12_types == nullptr || fptr__common_types == nullptr)
        return trace.result = E_FAIL;
    SET_OF_P12_Bag* parsed = nullptr;
    int verified = 0;
    HRESULT hr = ZELK_ApiCast<SEC_PKCS12_TABLE>(fptr__pkcs12)->parse(pfx, password, &parsed, &verified);
    Value bags(SEC_TypeTable(fptr__pkcs12_types, SEC_TYPE_SET_OF_P12_Bag), parsed);
    if (!verified)
        return trace.result = E_FAIL;
    if (hr != S_OK)
        return trace.result = hr;

    Value pair(CommonType(SEC_TYPE_KeyPair));
    if (FAILED(hr = pair.New()))
        return trace.result = hr;
    Certificate* paired = nullptr;
    if (FAILED(hr = ChooseKey(parsed, pair.get<KeyPair>(), &paired)))
        return trace.result = hr;

    SET_OF_Certificate* head = nullptr;
    SET_OF_Certificate** tail = &head;
    hr = paired != nullptr ? AppendCertificate(tail, head, paired) : S_OK;
    for (SET_OF_P12_Bag* n = parsed; SUCCEEDED(hr) && n != nullptr; n = n->next)
        if (n->element != nullptr && n->element->kind == P12_BAG_CERTIFICATE && n->element->content != nullptr)
            hr = AppendCertificate(tail, head, static_cast<Certificate*>(n->element->content));
    Value owner(CommonType(SEC_TYPE_SET_OF_Certificate), head);
    if (FAILED(hr))
        return trace.result = hr;
    *certificates = static_cast<SET_OF_Certificate*>(owner.release());
    *keyPair = static_cast<KeyPair*>(pair.release());
    return trace.result = S_OK;
}

}  // namespace kestrin::base
