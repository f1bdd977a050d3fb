// DER forms of AlgId (AlgorithmIdentifier) and KeyInfo (SubjectPublicKeyInfo,
// the only key form that travels).
#include <cstring>

#include "types_codec.h"
#include "types_values.h"

namespace kestrin::qevcrypto::codec {

namespace {

// The contents of an OBJECT IDENTIFIER: every subidentifier ends in a byte
// below 0x80 and starts without a padding byte 0x80.
bool IsObjectIdentifier(const uint8_t* p, size_t n)
{
    if (n == 0 || (p[n - 1] & 0x80))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (p[i] == 0x80 && (i == 0 || !(p[i - 1] & 0x80)))
            return false;
    return true;
}

// The parameters are one well-formed element, or absent.
bool IsParameter(const OctetString* param)
{
    if (param == nullptr || param->length == 0)
        return true;
    if (param->data == nullptr)
        return false;
    In in(param->data, static_cast<size_t>(param->length), 1);
    const uint8_t* whole = nullptr;
    size_t length = 0;
    return in.NextAny(whole, length) && in.AtEnd();
}

HRESULT EncodeAlgIdValue(const void* value, Out& out)
{
    return EncodeAlgId(static_cast<const AlgId*>(value), out);
}

HRESULT DecodeAlgIdValue(In& in, void** value)
{
    AlgId* a = nullptr;
    HRESULT hr = DecodeAlgId(in, &a);
    *value = a;
    return hr;
}

void FreeAlgIdValue(void* value)
{
    values::FreeAlgId(static_cast<AlgId*>(value));
}

HRESULT EncodeKeyInfo(const void* value, Out& out)
{
    ossl::Bytes spki;
    HRESULT hr = values::SpkiDer(static_cast<const KeyInfo*>(value), spki);
    if (FAILED(hr))
        return hr;
    out.insert(out.end(), spki.begin(), spki.end());
    return S_OK;
}

HRESULT DecodeKeyInfo(In& in, void** value)
{
    *value = nullptr;
    In spki(nullptr, 0, 0);
    if (!in.Enter(TAG_SEQUENCE, spki))
        return E_INVALIDARG;
    AlgId* algorithm = nullptr;
    HRESULT hr = DecodeAlgId(spki, &algorithm);
    if (FAILED(hr))
        return hr;
    const uint8_t* bits = nullptr;
    size_t length = 0;
    // The first content byte counts the unused bits of the last byte.
    if (!spki.Next(TAG_BIT_STRING, bits, length) || !spki.AtEnd() || length == 0 || bits[0] > 7
        || (length == 1 && bits[0] != 0)) {
        values::FreeAlgId(algorithm);
        return E_INVALIDARG;
    }
    KeyInfo* key = values::NewZeroed<KeyInfo>();
    const size_t bytes = length - 1;
    if (key == nullptr || (key->key = static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes))) == nullptr) {
        std::free(key);
        values::FreeAlgId(algorithm);
        return E_OUTOFMEMORY;
    }
    if (bytes != 0)
        std::memcpy(key->key, bits + 1, bytes);
    key->algorithm = algorithm;
    key->bits = bytes * 8 - bits[0];
    *value = key;
    return S_OK;
}

void FreeKeyInfoValue(void* value)
{
    values::FreeKeyInfo(static_cast<KeyInfo*>(value));
}

}  // namespace

HRESULT EncodeAlgId(const AlgId* a, Out& out)
{
    if (a == nullptr || a->objid == nullptr || a->objid->data == nullptr
        || !IsObjectIdentifier(a->objid->data, static_cast<size_t>(a->objid->length)) || !IsParameter(a->param))
        return E_INVALIDARG;
    const size_t mark = out.size();
    Tlv(out, TAG_OID, a->objid->data, static_cast<size_t>(a->objid->length));
    if (a->param != nullptr && a->param->length != 0)
        out.insert(out.end(), a->param->data, a->param->data + a->param->length);
    WrapFrom(out, mark, TAG_SEQUENCE);
    return S_OK;
}

HRESULT DecodeAlgId(In& in, AlgId** value)
{
    *value = nullptr;
    In body(nullptr, 0, 0);
    const uint8_t* oid = nullptr;
    size_t oidLength = 0;
    if (!in.Enter(TAG_SEQUENCE, body) || !body.Next(TAG_OID, oid, oidLength) || !IsObjectIdentifier(oid, oidLength))
        return E_INVALIDARG;
    const uint8_t* param = nullptr;
    size_t paramLength = 0;
    if (!body.AtEnd() && (!body.NextAny(param, paramLength) || !body.AtEnd()))
        return E_INVALIDARG;
    AlgId* a = values::NewZeroed<AlgId>();
    if (a == nullptr)
        return E_OUTOFMEMORY;
    a->objid = values::NewZeroed<ObjId>();
    if (a->objid == nullptr || (a->objid->data = static_cast<unsigned char*>(std::malloc(oidLength))) == nullptr
        || (param != nullptr && (a->param = values::NewOctets(param, paramLength)) == nullptr)) {
        values::FreeAlgId(a);
        return E_OUTOFMEMORY;
    }
    std::memcpy(a->objid->data, oid, oidLength);
    a->objid->length = oidLength;
    *value = a;
    return S_OK;
}

const Codec kAlgIdCodec {&EncodeAlgIdValue, &DecodeAlgIdValue, &FreeAlgIdValue};
const Codec kKeyInfoCodec {&EncodeKeyInfo, &DecodeKeyInfo, &FreeKeyInfoValue};

}  // namespace kestrin::qevcrypto::codec
