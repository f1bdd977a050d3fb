// The string type (a NUL-terminated char*) and SET_OF_String, the list of
// strings, in "SEC_COMMONTYPES_1".
#include <cstdlib>

#include "qev_tables.h"
#include "sec_commontypes.h"

namespace {

using namespace kestrin::qevcrypto::commontypes;

HRESULT StringInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "String", "NUL-terminated string");
}

HRESULT StringFree(void* value)
{
    FreeString(static_cast<char*>(value));
    return S_OK;
}

HRESULT StringCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    *dst = CopyString(static_cast<const char*>(src));
    return *dst ? S_OK : E_OUTOFMEMORY;
}

int StringCompare(const void* a, const void* b)
{
    return CompareStrings(static_cast<const char*>(a), static_cast<const char*>(b));
}

HRESULT SetOfStringInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SET_OF_String", "list of strings");
}

void FreeList(SET_OF_String* list)
{
    while (list != nullptr) {
        SET_OF_String* next = list->next;
        FreeString(list->element);
        std::free(list);
        list = next;
    }
}

HRESULT SetOfStringFree(void* value)
{
    FreeList(static_cast<SET_OF_String*>(value));
    return S_OK;
}

// Keeps the order; an empty list copies to NULL.
HRESULT SetOfStringCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    SET_OF_String* head = nullptr;
    SET_OF_String** tail = &head;
    for (auto* node = static_cast<const SET_OF_String*>(src); node != nullptr; node = node->next) {
        auto* copy = static_cast<SET_OF_String*>(std::calloc(1, sizeof(SET_OF_String)));
        if (copy == nullptr || (node->element != nullptr && (copy->element = CopyString(node->element)) == nullptr)) {
            std::free(copy);
            FreeList(head);
            return E_OUTOFMEMORY;
        }
        *tail = copy;
        tail = &copy->next;
    }
    *dst = head;
    return S_OK;
}

// Equal lists hold equal strings in the same order.
int SetOfStringCompare(const void* a, const void* b)
{
    auto* x = static_cast<const SET_OF_String*>(a);
    auto* y = static_cast<const SET_OF_String*>(b);
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        int c = CompareStrings(x->element, y->element);
        if (c != 0)
            return c;
    }
    return x == y ? 0 : (x == nullptr ? -1 : 1);
}

const SEC_TYPE_TABLE s_string = {
    {&StringInfo}, &NoAddRef, &StringFree, nullptr, &StringCopy, &StringCompare, nullptr, &NoNew, &NoDecode, &NoEncode,
};

const SEC_TYPE_TABLE s_setOfString = {
    {&SetOfStringInfo},
    &NoAddRef,
    &SetOfStringFree,
    nullptr,
    &SetOfStringCopy,
    &SetOfStringCompare,
    nullptr,
    &kestrin::qevcrypto::values::NewEntry<SET_OF_String, true>,
    &NoDecode,
    &NoEncode,
};

QevSlotFill s_fillString("SEC_COMMONTYPES_1", SEC_TYPE_String, const_cast<SEC_TYPE_TABLE*>(&s_string));
QevSlotFill s_fillSetOfString("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_String, const_cast<SEC_TYPE_TABLE*>(&s_setOfString));

}  // namespace
