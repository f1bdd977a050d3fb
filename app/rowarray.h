// The table's rows: one reference per row, in display order. A failed growth
// keeps the rows already held (the element is not added and the failure is
// traced), so a short allocation never empties the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zelk_alloc.h"
#include "zelk_result.h"
#include "zelk_trace.h"

namespace kestrin::app {

template <class T>
class AuxRefArray {
public:
    using Grow = void* (*)(void*, size_t);

    explicit AuxRefArray(Grow grow = &sec_realloc) : m_grow(grow) {}
    ~AuxRefArray() { Free(); }
    AuxRefArray(const AuxRefArray&) = delete;
    AuxRefArray& operator=(const AuxRefArray&) = delete;

    // Appends and takes a reference; NULL is ignored.
    HRESULT Add(T* element)
    {
        if (element == nullptr)
            return S_FALSE;
        if (m_c == m_capacity) {
            const uint64_t capacity = m_capacity ? m_capacity * 2 : 16;
            void* grown = capacity > SIZE_MAX / sizeof(T*) ? nullptr : m_grow(m_ap, capacity * sizeof(T*));
            if (grown == nullptr) {
                SECTRACE_FormatLn(nullptr, 1, "TableView: the row list cannot grow past %llu rows",
                                  static_cast<unsigned long long>(m_c));
                return E_OUTOFMEMORY;
            }
            m_ap = static_cast<T**>(grown);
            m_capacity = capacity;
        }
        element->AddRef();
        m_ap[m_c++] = element;
        return S_OK;
    }

    void Free()
    {
        T** rows = m_ap;
        const uint64_t count = m_c;
        m_ap = nullptr;
        m_c = 0;
        m_capacity = 0;
        for (uint64_t i = 0; i < count; ++i)
            rows[i]->Release();
        sec_free(rows);
    }

    uint64_t Count() const { return m_c; }
    // NULL past the last row.
    T* At(uint64_t i) const { return i < m_c ? m_ap[i] : nullptr; }

private:
    Grow m_grow;
    T** m_ap = nullptr;
    uint64_t m_c = 0;
    uint64_t m_capacity = 0;
};

}  // namespace kestrin::app
