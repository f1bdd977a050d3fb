#include "zelk_stringset.h"

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_strings.h"

namespace {

bool Equal(const char* element, const char* text)
{
    return element != nullptr && String_Compare(element, text) == 0;
}

bool Matches(const char* element, const char* pattern)
{
    return element != nullptr && String_Match(element, pattern, 0, 0);
}

bool StartsWith(const char* element, const char* prefix)
{
    return element != nullptr && String_StartsWith(element, prefix);
}

// Frees one node that is already unlinked.
void FreeNode(SET_OF_String* node)
{
    node->next = nullptr;
    AuxFree(&node);
}

template <class Predicate>
HRESULT RemoveWhere(SET_OF_String** list, const char* argument, Predicate predicate)
{
    if (list == nullptr || argument == nullptr)
        return SEC_E_STRINGSET_ARG;
    HRESULT result = S_FALSE;
    for (SET_OF_String** link = list; *link != nullptr;) {
        SET_OF_String* node = *link;
        if (!predicate(node->element, argument)) {
            link = &node->next;
            continue;
        }
        *link = node->next;
        FreeNode(node);
        result = S_OK;
    }
    return result;
}

template <class Predicate>
int ContainsWhere(const SET_OF_String* list, const char* argument, Predicate predicate)
{
    if (argument == nullptr)
        return 0;
    for (; list != nullptr; list = list->next)
        if (predicate(list->element, argument))
            return 1;
    return 0;
}

size_t LengthOf(const char* text)
{
    return text ? std::strlen(text) : 0;
}

}  // namespace

unsigned long SET_OF_String_count(const SET_OF_String* list)
{
    unsigned long count = 0;
    for (; list != nullptr; list = list->next)
        ++count;
    return count;
}

HRESULT SET_OF_String_merge(const SET_OF_String* list, char** out, const char* prefix, const char* separator,
                            const char* suffix)
{
    if (out == nullptr)
        return S_OK;
    *out = nullptr;
    size_t length = LengthOf(prefix) + LengthOf(suffix);
    for (const SET_OF_String* node = list; node != nullptr; node = node->next)
        length += LengthOf(node->element) + (node != list ? LengthOf(separator) : 0);
    char* text = static_cast<char*>(sec_malloc(length + 1));
    if (text == nullptr)
        return E_OUTOFMEMORY;
    char* end = text;
    auto put = [&end](const char* piece) {
        size_t n = LengthOf(piece);
        if (n != 0)
            std::memcpy(end, piece, n);
        end += n;
    };
    put(prefix);
    for (const SET_OF_String* node = list; node != nullptr; node = node->next) {
        if (node != list)
            put(separator);
        put(node->element);
    }
    put(suffix);
    *end = 0;
    *out = text;
    return S_OK;
}

HRESULT SET_OF_String_add(SET_OF_String** list, const char* text)
{
    if (list == nullptr || text == nullptr)
        return SEC_E_STRINGSET_ARG;
    if (SET_OF_String_contains(*list, text))
        return S_OK;
    const SEC_TYPE_TABLE* listType = AuxGetTypeAPI(list);
    const SEC_TYPE_TABLE* stringType = AuxGetTypeAPI(text);
    if (listType == nullptr || listType->new_node == nullptr || stringType == nullptr || stringType->copy == nullptr)
        return E_FAIL;
    SET_OF_String** tail = list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    HRESULT hr = listType->new_node(reinterpret_cast<void**>(tail));
    if (FAILED(hr))
        return hr;
    SET_OF_String* node = *tail;
    void* copy = nullptr;
    hr = stringType->copy(text, &copy);
    if (FAILED(hr) || copy == nullptr) {
        // No empty node stays behind.
        *tail = node->next;
        FreeNode(node);
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    node->element = static_cast<char*>(copy);
    return hr;
}

HRESULT SET_OF_String_remove(SET_OF_String** list, const char* text)
{
    return RemoveWhere(list, text, &Equal);
}

HRESULT SET_OF_String_remove_Match(SET_OF_String** list, const char* pattern)
{
    return RemoveWhere(list, pattern, &Matches);
}

HRESULT SET_OF_String_remove_StartsWith(SET_OF_String** list, const char* prefix)
{
    return RemoveWhere(list, prefix, &StartsWith);
}

void SET_OF_String_remove_first(SET_OF_String** list)
{
    if (list == nullptr || *list == nullptr)
        return;
    SET_OF_String* node = *list;
    *list = node->next;
    FreeNode(node);
}

int SET_OF_String_contains(const SET_OF_String* list, const char* text)
{
    return ContainsWhere(list, text, &Equal);
}

int SET_OF_String_contains_Match(const SET_OF_String* list, const char* pattern)
{
    return ContainsWhere(list, pattern, &Matches);
}

int SET_OF_String_contains_StartsWith(const SET_OF_String* list, const char* prefix)
{
    return ContainsWhere(list, prefix, &StartsWith);
}
