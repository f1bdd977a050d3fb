// SECAttribute, the attribute chain of PSE, ASC and control calls, in
// "SEC_COMMONTYPES_1". A chain value is its first record; free, copy and
// compare walk the whole chain.
//
// DER: SEQUENCE OF SEQUENCE { id INTEGER, answered BOOLEAN, type INTEGER,
// value OCTET STRING OPTIONAL }, where type is the value's type index (the
// record's own type table, else the type that qev_attributes.h gives the id;
// 0 when there is no value) and value holds the value's own DER. Only values
// of the types that have a DER form travel: a value of any other type, of an
// unknown type, or a pointer handed over inside the process makes encoding
// fail rather than being dropped, and decoding accepts no other type index.
#include <cstdlib>

#include "qev_attributes.h"
#include "qev_tables.h"
#include "sec_commontypes.h"
#include "types_codec.h"

namespace {

using namespace kestrin::qevcrypto::commontypes;
namespace codec = kestrin::qevcrypto::codec;

constexpr unsigned int kValueTypes[] = {
    SEC_TYPE_AlgId,
    SEC_TYPE_DName,
    SEC_TYPE_int,
    SEC_TYPE_IssuerAndSerial,
    SEC_TYPE_KeyInfo,
    SEC_TYPE_OctetString,
    SEC_TYPE_PersonalCertificateInfo,
    SEC_TYPE_SEQUENCE_OF_AlgId,
    SEC_TYPE_SEQUENCE_OF_Certificate,
    SEC_TYPE_SET_OF_Certificate,
    SEC_TYPE_SET_OF_DName,
    SEC_TYPE_SET_OF_PIN_Info,
    SEC_TYPE_SET_OF_PersonalCertificateInfo,
    SEC_TYPE_Certificate,
    SEC_TYPE_String,
    SEC_TYPE_SET_OF_String,
    SEC_TYPE_SET_OF_SecSlotInfo,
};

bool Travels(unsigned int index)
{
    for (unsigned int k : kValueTypes)
        if (k == index)
            return true;
    return false;
}

// The travelling type index of a type table; 0 for any other table.
unsigned int IndexOf(const SEC_TYPE_TABLE* type)
{
    for (unsigned int k : kValueTypes)
        if (TypeTable(k) == type)
            return k;
    return 0;
}

HRESULT AttributeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SECAttribute", "attribute chain");
}

// An owned value goes through its type's free; an owned value without a type
// is a plain buffer of the library's allocator.
void FreeValue(SECAttribute* a)
{
    if (!a->owned || a->value == nullptr)
        return;
    if (a->type != nullptr && a->type->free != nullptr)
        a->type->free(a->value);
    else
        std::free(a->value);
    a->value = nullptr;
}

void FreeChain(SECAttribute* chain)
{
    while (chain != nullptr) {
        SECAttribute* next = chain->next;
        FreeValue(chain);
        std::free(chain);
        chain = next;
    }
}

HRESULT AttributeFree(void* value)
{
    FreeChain(static_cast<SECAttribute*>(value));
    return S_OK;
}

// An owned value with a type that can copy is copied and owned by the copy;
// any other value is shared, and the copy does not own it (a copy that freed
// it would leave the original dangling).
HRESULT AttributeCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    SECAttribute* head = nullptr;
    SECAttribute** tail = &head;
    for (auto* a = static_cast<const SECAttribute*>(src); a != nullptr; a = a->next) {
        auto* copy = static_cast<SECAttribute*>(std::calloc(1, sizeof(SECAttribute)));
        if (copy == nullptr) {
            FreeChain(head);
            return E_OUTOFMEMORY;
        }
        copy->id = a->id;
        copy->answered = a->answered;
        copy->type = a->type;
        *tail = copy;
        tail = &copy->next;
        if (a->owned && a->value != nullptr && a->type != nullptr && a->type->copy != nullptr) {
            HRESULT hr = a->type->copy(a->value, &copy->value);
            if (FAILED(hr)) {
                FreeChain(head);
                return hr;
            }
            copy->owned = 1;
        } else {
            copy->value = a->value;
        }
    }
    *dst = head;
    return S_OK;
}

int CompareValues(const SECAttribute* x, const SECAttribute* y)
{
    if (x->value == y->value)
        return 0;
    if (x->type != nullptr && x->type == y->type && x->type->compare != nullptr && x->value != nullptr
        && y->value != nullptr)
        return x->type->compare(x->value, y->value);
    return x->value < y->value ? -1 : 1;
}

// Equal chains have the same identifiers, types and values in the same order.
int AttributeCompare(const void* a, const void* b)
{
    auto* x = static_cast<const SECAttribute*>(a);
    auto* y = static_cast<const SECAttribute*>(b);
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        if (x->id != y->id)
            return x->id < y->id ? -1 : 1;
        if (x->type != y->type)
            return x->type < y->type ? -1 : 1;
        int c = CompareValues(x, y);
        if (c != 0)
            return c;
    }
    return x == y ? 0 : (x == nullptr ? -1 : 1);
}

// The type index that a record's value travels with; 0 when it has no value.
HRESULT ValueType(const SECAttribute* a, unsigned int& type)
{
    type = 0;
    if (a->value == nullptr)
        return S_OK;
    const unsigned int byId = SEC_AttributeValueType(a->id);
    type = a->type != nullptr ? IndexOf(a->type) : byId;
    return byId != SEC_TYPE_InProcess && Travels(type) ? S_OK : E_INVALIDARG;
}

HRESULT EncodeChain(const void* value, codec::Out& out)
{
    const size_t mark = out.size();
    size_t count = 0;
    for (auto* a = static_cast<const SECAttribute*>(value); a != nullptr; a = a->next) {
        unsigned int type = 0;
        HRESULT hr = ++count > codec::kMaxListLength ? E_INVALIDARG : ValueType(a, type);
        if (FAILED(hr))
            return hr;
        const size_t record = out.size();
        codec::WriteUint32(out, a->id);
        codec::WriteBoolean(out, a->answered != 0);
        codec::WriteUint32(out, type);
        if (type != 0) {
            const size_t valueMark = out.size();
            hr = codec::CodecOf(type)->encode(a->value, out);
            if (FAILED(hr))
                return hr;
            codec::WrapFrom(out, valueMark, codec::TAG_OCTET_STRING);
        }
        codec::WrapFrom(out, record, codec::TAG_SEQUENCE);
    }
    codec::WrapFrom(out, mark, codec::TAG_SEQUENCE);
    return S_OK;
}

// One record; its value is owned and typed with the library's type table.
HRESULT DecodeRecord(codec::In& in, SECAttribute** out)
{
    *out = nullptr;
    codec::In body(nullptr, 0, 0);
    uint32_t id = 0;
    bool answered = false;
    uint32_t type = 0;
    if (!in.Enter(codec::TAG_SEQUENCE, body) || !codec::ReadUint32(body, id) || !codec::ReadBoolean(body, answered)
        || !codec::ReadUint32(body, type))
        return E_INVALIDARG;
    const SEC_TYPE_TABLE* table = nullptr;
    void* value = nullptr;
    if (type != 0) {
        const uint8_t* content = nullptr;
        size_t length = 0;
        if (!Travels(type) || SEC_AttributeValueType(id) == SEC_TYPE_InProcess
            || !body.Next(codec::TAG_OCTET_STRING, content, length) || body.Depth() + 1 > codec::kMaxDepth)
            return E_INVALIDARG;
        table = TypeTable(type);
        if (table == nullptr)
            return E_FAIL;
        const codec::Codec* valueCodec = codec::CodecOf(type);
        codec::In valueIn(content, length, body.Depth() + 1);
        HRESULT hr = valueCodec->decode(valueIn, &value);
        if (FAILED(hr))
            return hr;
        if (!valueIn.AtEnd()) {
            valueCodec->free(value);
            return E_INVALIDARG;
        }
    }
    auto* a = static_cast<SECAttribute*>(std::calloc(1, sizeof(SECAttribute)));
    if (a == nullptr || !body.AtEnd()) {
        if (value != nullptr)
            codec::CodecOf(type)->free(value);
        std::free(a);
        return a == nullptr ? E_OUTOFMEMORY : E_INVALIDARG;
    }
    a->id = id;
    a->answered = answered ? 1 : 0;
    a->value = value;
    a->owned = value != nullptr ? 1 : 0;
    a->type = table;
    *out = a;
    return S_OK;
}

HRESULT DecodeChain(codec::In& in, void** value)
{
    *value = nullptr;
    codec::In records(nullptr, 0, 0);
    if (!in.Enter(codec::TAG_SEQUENCE, records))
        return E_INVALIDARG;
    SECAttribute* head = nullptr;
    SECAttribute** tail = &head;
    for (size_t count = 0; !records.AtEnd(); ++count) {
        HRESULT hr = count < codec::kMaxListLength ? DecodeRecord(records, tail) : E_INVALIDARG;
        if (FAILED(hr)) {
            FreeChain(head);
            return hr;
        }
        tail = &(*tail)->next;
    }
    *value = head;
    return S_OK;
}

void FreeChainValue(void* value)
{
    FreeChain(static_cast<SECAttribute*>(value));
}

const SEC_TYPE_TABLE s_attribute = {
    {&AttributeInfo},
    &NoAddRef,
    &AttributeFree,
    nullptr,
    &AttributeCopy,
    &AttributeCompare,
    nullptr,
    &kestrin::qevcrypto::values::NewEntry<SECAttribute, true>,
    &codec::DecodeEntry<SEC_TYPE_SECAttribute, true>,
    &codec::EncodeEntry<SEC_TYPE_SECAttribute>,
};

QevSlotFill s_fill("SEC_COMMONTYPES_1", SEC_TYPE_SECAttribute, const_cast<SEC_TYPE_TABLE*>(&s_attribute));

}  // namespace

namespace kestrin::qevcrypto::codec {

const Codec kAttributeCodec {&EncodeChain, &DecodeChain, &FreeChainValue};

}  // namespace kestrin::qevcrypto::codec
