// "SEC_PKCS12_1": PKCS#12 values.
#include "ossl/ossl_keys.h"
#include "ossl/ossl_pkcs12.h"
#include "qev_pkcs12.h"
#include "qev_tables.h"
#include "types_pkcs12.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

const API_COMMON* sec_pkcs12_types()
{
    return values::Pkcs12Types();
}

std::optional<ossl::Bytes> OptionalBytes(const OctetString* s)
{
    if (s == nullptr)
        return std::nullopt;
    return ossl::Bytes(s->data, s->data + s->length);
}

HRESULT ToBagData(const P12_Bag* bag, ossl::P12BagData& out)
{
    if (bag == nullptr || bag->content == nullptr)
        return E_INVALIDARG;
    out.kind = bag->kind;
    if (bag->kind == P12_BAG_KEY) {
        out.encrypted = bag->encrypted != 0;
        HRESULT hr = values::Pkcs8Der(static_cast<const PrivateKeyInfo*>(bag->content), out.pkcs8);
        if (FAILED(hr))
            return hr;
    } else if (bag->kind == P12_BAG_CERTIFICATE) {
        X509* x509 = values::CertificateX509(static_cast<Certificate*>(bag->content));
        if (x509 == nullptr || !X509_up_ref(x509))
            return E_INVALIDARG;
        out.cert.reset(x509);
    } else {
        return E_INVALIDARG;
    }
    out.friendlyName = OptionalBytes(bag->friendlyName);
    out.localKeyId = OptionalBytes(bag->localKeyId);
    return S_OK;
}

HRESULT sec_pkcs12_encode(const P12_Safe* safe, const char* password, OctetString** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (safe == nullptr || safe->version != 3)
        return E_INVALIDARG;
    ossl::P12Params params;
    params.macDigestNid = values::ObjIdNid(safe->macDigest);
    params.certPbeNid = values::ObjIdNid(safe->certificateEncryption);
    params.keyPbeNid = values::ObjIdNid(safe->keyEncryption);
    params.iterations = safe->iterations;
    if (params.macDigestNid == NID_undef || params.certPbeNid == NID_undef || params.keyPbeNid == NID_undef)
        return E_INVALIDARG;
    std::vector<ossl::P12BagData> bags;
    for (const SET_OF_P12_Bag* node = safe->bags; node != nullptr; node = node->next) {
        ossl::P12BagData data;
        HRESULT hr = ToBagData(node->element, data);
        if (FAILED(hr))
            return hr;
        bags.push_back(std::move(data));
    }
    ossl::Bytes der;
    HRESULT hr = ossl::EncodePkcs12(bags, params, password, der);
    if (FAILED(hr))
        return hr;
    *out = values::NewOctets(der.data(), der.size());
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT FromBagData(ossl::P12BagData& in, P12_Bag** out)
{
    P12_Bag* bag = values::NewZeroed<P12_Bag>();
    if (bag == nullptr)
        return E_OUTOFMEMORY;
    bag->kind = in.kind;
    bag->encrypted = in.encrypted ? 1 : 0;
    HRESULT hr = S_OK;
    if (in.kind == P12_BAG_KEY) {
        PrivateKeyInfo* record = nullptr;
        hr = values::PrivateKeyInfoFromDer(in.pkcs8.data(), in.pkcs8.size(), &record);
        bag->content = record;
    } else {
        Certificate* cert = nullptr;
        hr = values::NewCertificate(std::move(in.cert), &cert);
        bag->content = cert;
    }
    if (SUCCEEDED(hr) && in.friendlyName
        && (bag->friendlyName = values::NewOctets(in.friendlyName->data(), in.friendlyName->size())) == nullptr)
        hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr) && in.localKeyId
        && (bag->localKeyId = values::NewOctets(in.localKeyId->data(), in.localKeyId->size())) == nullptr)
        hr = E_OUTOFMEMORY;
    if (FAILED(hr)) {
        values::FreeP12Bag(bag);
        return hr;
    }
    *out = bag;
    return S_OK;
}

HRESULT sec_pkcs12_parse(const OctetString* pfx, const char* password, SET_OF_P12_Bag** bags, int* verified)
{
    if (bags == nullptr || verified == nullptr)
        return E_POINTER;
    *bags = nullptr;
    *verified = 0;
    if (pfx == nullptr || pfx->data == nullptr)
        return E_INVALIDARG;
    std::vector<ossl::P12BagData> parsed;
    bool ok = false;
    HRESULT hr = ossl::ParsePkcs12(pfx->data, pfx->length, password, parsed, ok);
    *verified = ok ? 1 : 0;
    if (FAILED(hr))
        return hr;
    SET_OF_P12_Bag* head = nullptr;
    SET_OF_P12_Bag** tail = &head;
    for (ossl::P12BagData& data : parsed) {
        SET_OF_P12_Bag* node = values::NewZeroed<SET_OF_P12_Bag>();
        if (node == nullptr) {
            values::FreeP12BagList(head);
            return E_OUTOFMEMORY;
        }
        *tail = node;
        tail = &node->next;
        hr = FromBagData(data, &node->element);
        if (FAILED(hr)) {
            values::FreeP12BagList(head);
            return hr;
        }
    }
    *bags = head;
    return S_OK;
}

HRESULT sec_pkcs12_key_pair_check(const KeyPair* pair)
{
    if (pair == nullptr || pair->publicKey == nullptr || pair->privateKey == nullptr)
        return E_INVALIDARG;
    ossl::Bytes spki;
    ossl::SecretBytes pkcs8;
    HRESULT hr = values::SpkiDer(pair->publicKey, spki);
    if (SUCCEEDED(hr))
        hr = values::Pkcs8DerOfKey(pair->privateKey, pkcs8);
    if (FAILED(hr))
        return hr;
    return ossl::KeysMatch(spki.data(), spki.size(), pkcs8.data(), pkcs8.size());
}

HRESULT sec_pkcs12_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_PKCS12_1", "PKCS#12 values");
}

QevTable<> s_table("SEC_PKCS12_1", &sec_pkcs12_get_info,
                   {{1, qev_slot(&sec_pkcs12_types)},
                    {9, qev_slot(&sec_pkcs12_encode)},
                    {11, qev_slot(&sec_pkcs12_parse)},
                    {12, qev_slot(&sec_pkcs12_key_pair_check)}});

// The typed view ends with the last slot filled here.
static_assert(sizeof(SEC_PKCS12_TABLE) == 13 * sizeof(void*));

}  // namespace
