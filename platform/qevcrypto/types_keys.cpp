// Type tables of ObjId (45), AlgId (5), KeyInfo (39), the private-key
// information record (59), KeyPair (101) and SEQUENCE_OF_AlgId (65) in
// "SEC_COMMONTYPES_1"; the DER forms of AlgId and KeyInfo are in
// types_keys_der.cpp.
#include "types_codec.h"
#include "types_table.h"
#include "types_value_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {
namespace {

KeyPair* CopyKeyPair(const KeyPair* p)
{
    KeyPair* c = NewZeroed<KeyPair>();
    if (c == nullptr)
        return nullptr;
    if ((p->publicKey != nullptr && (c->publicKey = CopyKeyInfo(p->publicKey)) == nullptr)
        || (p->privateKey != nullptr && (c->privateKey = CopyKeyInfo(p->privateKey)) == nullptr)) {
        FreeKeyPair(c);
        return nullptr;
    }
    return c;
}

int CompareKeyPair(const KeyPair* a, const KeyPair* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    int c = CompareKeyInfo(a->publicKey, b->publicKey);
    return c != 0 ? c : CompareKeyInfo(a->privateKey, b->privateKey);
}

int ComparePrivateKeyInfo(const PrivateKeyInfo* a, const PrivateKeyInfo* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    if (a->version != b->version)
        return a->version < b->version ? -1 : 1;
    int c = CompareAlgId(a->algorithm, b->algorithm);
    return c != 0 ? c : CompareOctets(a->privateKey, b->privateKey);
}

HRESULT ObjIdFromTextEntry(const char* text, ObjId** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (text == nullptr)
        return E_INVALIDARG;
    *out = ObjIdFromText(text);
    return *out != nullptr ? S_OK : E_INVALIDARG;
}

int ObjIdKeyAlgorithmEntry(const ObjId* id)
{
    switch (ObjIdNid(id)) {
    case NID_rsaEncryption:
        return 0;
    case NID_dsa:
        return 3;
    case NID_X9_62_id_ecPublicKey:
        return 17;
    default:
        return -1;
    }
}

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

constexpr char kObjId[] = "ObjId";
constexpr char kAlgId[] = "AlgId";
constexpr char kKeyInfo[] = "KeyInfo";
constexpr char kPrivateKeyInfo[] = "PrivateKeyInfo";
constexpr char kKeyPair[] = "KeyPair";
constexpr char kSequenceOfAlgId[] = "SEQUENCE_OF_AlgId";

const SEC_OBJID_TYPE_TABLE s_objId = {
    {{&TypeInfo<kObjId>},
     &NoAddRef,
     &FreeEntry<ObjId, FreeObjId>,
     nullptr,
     &CopyEntry<ObjId, CopyObjId>,
     &CompareEntry<ObjId, CompareObjId>,
     nullptr,
     &NewEntry<ObjId, false>,
     &NoDecode,
     &NoEncode},
    &ObjIdFromTextEntry,
    &ObjIdKeyAlgorithmEntry,
};

const SEC_TYPE_TABLE s_algId = {{&TypeInfo<kAlgId>},
                                &NoAddRef,
                                &FreeEntry<AlgId, FreeAlgId>,
                                nullptr,
                                &CopyEntry<AlgId, CopyAlgId>,
                                &CompareEntry<AlgId, CompareAlgId>,
                                nullptr,
                                &NewEntry<AlgId, false>,
                                &codec::DecodeEntry<SEC_TYPE_AlgId>,
                                &codec::EncodeEntry<SEC_TYPE_AlgId>};

const SEC_TYPE_TABLE s_keyInfo = {{&TypeInfo<kKeyInfo>},
                                  &NoAddRef,
                                  &FreeEntry<KeyInfo, FreeKeyInfo>,
                                  nullptr,
                                  &CopyEntry<KeyInfo, CopyKeyInfo>,
                                  &CompareEntry<KeyInfo, CompareKeyInfo>,
                                  nullptr,
                                  &NewEntry<KeyInfo, false>,
                                  &codec::DecodeEntry<SEC_TYPE_KeyInfo>,
                                  &codec::EncodeEntry<SEC_TYPE_KeyInfo>};

// PKCS#8 PrivateKeyInfo: how a key leaves the library for a key store, and
// how an enrolled key comes in.
HRESULT DecodePrivateKeyInfo(const OctetString* der, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (der == nullptr || der->data == nullptr)
        return E_INVALIDARG;
    PrivateKeyInfo* record = nullptr;
    HRESULT hr = PrivateKeyInfoFromDer(der->data, der->length, &record);
    *out = record;
    return hr;
}

HRESULT EncodePrivateKeyInfo(const void* value, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = nullptr;
    ossl::SecretBytes bytes;
    HRESULT hr = Pkcs8Der(static_cast<const PrivateKeyInfo*>(value), bytes);
    if (FAILED(hr))
        return hr;
    *der = NewOctets(bytes.data(), bytes.size());
    return *der != nullptr ? S_OK : E_OUTOFMEMORY;
}

const SEC_TYPE_TABLE s_privateKeyInfo = {{&TypeInfo<kPrivateKeyInfo>},
                                         &NoAddRef,
                                         &FreeEntry<PrivateKeyInfo, FreePrivateKeyInfo>,
                                         nullptr,
                                         &CopyEntry<PrivateKeyInfo, CopyPrivateKeyInfo>,
                                         &CompareEntry<PrivateKeyInfo, ComparePrivateKeyInfo>,
                                         nullptr,
                                         &NewEntry<PrivateKeyInfo, false>,
                                         &DecodePrivateKeyInfo,
                                         &EncodePrivateKeyInfo};

const SEC_TYPE_TABLE s_keyPair = {{&TypeInfo<kKeyPair>},
                                  &NoAddRef,
                                  &FreeEntry<KeyPair, FreeKeyPair>,
                                  nullptr,
                                  &CopyEntry<KeyPair, CopyKeyPair>,
                                  &CompareEntry<KeyPair, CompareKeyPair>,
                                  nullptr,
                                  &NewEntry<KeyPair, false>,
                                  &NoDecode,
                                  &NoEncode};

const SEC_TYPE_TABLE s_sequenceOfAlgId =
    SequenceOfAlgId::Table<SEC_TYPE_SEQUENCE_OF_AlgId>(&TypeInfo<kSequenceOfAlgId>);

QevSlotFill s_fillObjId("SEC_COMMONTYPES_1", SEC_TYPE_ObjId, const_cast<SEC_OBJID_TYPE_TABLE*>(&s_objId));
QevSlotFill s_fillAlgId("SEC_COMMONTYPES_1", SEC_TYPE_AlgId, const_cast<SEC_TYPE_TABLE*>(&s_algId));
QevSlotFill s_fillKeyInfo("SEC_COMMONTYPES_1", SEC_TYPE_KeyInfo, const_cast<SEC_TYPE_TABLE*>(&s_keyInfo));
QevSlotFill s_fillPrivateKeyInfo("SEC_COMMONTYPES_1", SEC_TYPE_PrivateKeyInfo,
                                 const_cast<SEC_TYPE_TABLE*>(&s_privateKeyInfo));
QevSlotFill s_fillKeyPair("SEC_COMMONTYPES_1", SEC_TYPE_KeyPair, const_cast<SEC_TYPE_TABLE*>(&s_keyPair));
QevSlotFill s_fillSequenceOfAlgId("SEC_COMMONTYPES_1", SEC_TYPE_SEQUENCE_OF_AlgId,
                                  const_cast<SEC_TYPE_TABLE*>(&s_sequenceOfAlgId));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

const Codec kSequenceOfAlgIdCodec = values::SequenceOfAlgId::kCodec;

}  // namespace kestrin::qevcrypto::codec
