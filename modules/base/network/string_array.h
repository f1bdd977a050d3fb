// A list of texts owned by the list: each added text is copied with the
// crypto library's allocator; NULL, empty and already present texts (exact
// comparison) are not added. Destroying the list frees every text.
#pragma once

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "zelk_alloc.h"
#include "zelk_result.h"

namespace kestrin::base {

template <class C>
class StringArrayT {
public:
    StringArrayT() = default;
    ~StringArrayT()
    {
        for (size_t i = 0; i < m_count; ++i)
            sec_free(m_items[i]);
        sec_free(m_items);
    }
    StringArrayT(const StringArrayT&) = delete;
    StringArrayT& operator=(const StringArrayT&) = delete;

    // S_FALSE when the text was not added, 0x8007000E when memory ran out.
    HRESULT Add(const C* text)
    {
        if (text == nullptr || text[0] == 0)
            return S_FALSE;
        const size_t length = Length(text);
        for (size_t i = 0; i < m_count; ++i)
            if (Length(m_items[i]) == length && std::memcmp(m_items[i], text, length * sizeof(C)) == 0)
                return S_FALSE;
        if (m_count == SIZE_MAX / sizeof(C*) || length > SIZE_MAX / sizeof(C) - 1)
            return E_OUTOFMEMORY;
        auto** grown = static_cast<C**>(sec_realloc(m_items, (m_count + 1) * sizeof(C*)));
        if (grown == nullptr)
            return E_OUTOFMEMORY;
        m_items = grown;
        auto* copy = static_cast<C*>(sec_malloc((length + 1) * sizeof(C)));
        if (copy == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(copy, text, (length + 1) * sizeof(C));
        m_items[m_count++] = copy;
        return S_OK;
    }

    size_t Count() const { return m_count; }
    const C* operator[](size_t index) const { return m_items[index]; }

private:
    static size_t Length(const char* text) { return std::strlen(text); }
    static size_t Length(const wchar_t* text) { return std::wcslen(text); }

    C** m_items = nullptr;
    size_t m_count = 0;
};

}  // namespace kestrin::base
