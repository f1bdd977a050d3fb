// An array of reference-counted elements, one reference each, in the C
// library's memory. A failed growth leaves the array as it was.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "zelk_gui_model.h"
#include "zelk_result.h"

namespace ZELK::PSESVC {

// The IUnknown of an element; an item class that reaches IUnknown through
// several bases (its model interface, its verb list) is reached through its
// model interface.
template <class T>
IUnknown* ElementUnknown(T* p)
{
    if constexpr (std::is_convertible_v<T*, IUnknown*>)
        return p;
    else
        return static_cast<IGUIModel*>(p);
}

template <class T>
class AuxIUnknownArray {
public:
    AuxIUnknownArray() = default;
    ~AuxIUnknownArray() { Free(); }
    AuxIUnknownArray(const AuxIUnknownArray&) = delete;
    AuxIUnknownArray& operator=(const AuxIUnknownArray&) = delete;

    uint64_t Count() const { return m_count; }
    T* operator[](uint64_t i) const { return i < m_count ? m_items[i] : nullptr; }

    // NULL is ignored (0); 0x8007000E and no change when the array cannot grow.
    HRESULT Add(T* p)
    {
        if (p == nullptr)
            return S_OK;
        auto* items = static_cast<T**>(realloc(m_items, (m_count + 1) * sizeof(T*)));
        if (items == nullptr)
            return E_OUTOFMEMORY;
        m_items = items;
        ElementUnknown(p)->AddRef();
        m_items[m_count++] = p;
        return S_OK;
    }
    // Releases element i and moves the later ones down; ignored out of range.
    void Delete(uint64_t i)
    {
        if (i >= m_count)
            return;
        T* p = m_items[i];
        for (uint64_t j = i + 1; j < m_count; ++j)
            m_items[j - 1] = m_items[j];
        m_items[--m_count] = nullptr;
        ElementUnknown(p)->Release();
    }
    // Releases all elements from the last to the first.
    void Free()
    {
        T** items = m_items;
        uint64_t count = m_count;
        m_items = nullptr;
        m_count = 0;
        while (count > 0)
            ElementUnknown(items[--count])->Release();
        free(items);
    }

private:
    T** m_items = nullptr;
    uint64_t m_count = 0;
};

}  // namespace ZELK::PSESVC
