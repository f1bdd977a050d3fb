// SECAttribute, the attribute chain of PSE, ASC and control calls, in
// "SEC_COMMONTYPES_1". A chain value is its first record; free, copy and
// compare walk the whole chain.
#include <cstdlib>

#include "qev_tables.h"
#include "sec_commontypes.h"

namespace {

using namespace kestrin::qevcrypto::commontypes;

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

const SEC_TYPE_TABLE s_attribute = {
    {&AttributeInfo}, &NoAddRef,         &AttributeFree, nullptr,
    &AttributeCopy,   &AttributeCompare, nullptr,        &kestrin::qevcrypto::values::NewEntry<SECAttribute, true>,
    &NoDecode,        &NoEncode,
};

QevSlotFill s_fill("SEC_COMMONTYPES_1", SEC_TYPE_SECAttribute, const_cast<SEC_TYPE_TABLE*>(&s_attribute));

}  // namespace
