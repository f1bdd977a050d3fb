// Growable arrays in insertion order: of references (AuxRefArray) and of
// plain pointers (AuxPtrArray). A failed growth empties the array.
#pragma once

#include <cstdint>

#include "zelk_alloc.h"

namespace ZELK::PSESVC {

template <class T>
class AuxPtrArray {
public:
    AuxPtrArray() = default;
    ~AuxPtrArray() { Free(); }
    AuxPtrArray(const AuxPtrArray&) = delete;
    AuxPtrArray& operator=(const AuxPtrArray&) = delete;

    uint64_t Count() const { return m_count; }
    T* operator[](uint64_t i) const { return i < m_count ? m_items[i] : nullptr; }

    // NULL is ignored.
    void Add(T* p)
    {
        if (!TryAdd(p))
            Free();
    }
    // Appends `p`; false (and nothing changed) when the array cannot grow.
    bool TryAdd(T* p)
    {
        if (p == nullptr)
            return true;
        auto* items = static_cast<T**>(sec_realloc(m_items, (m_count + 1) * sizeof(T*)));
        if (items == nullptr)
            return false;
        m_items = items;
        m_items[m_count++] = p;
        return true;
    }
    // Removes the first element equal to `p`; true when one was there.
    bool Delete(T* p)
    {
        for (uint64_t i = 0; i < m_count; ++i) {
            if (m_items[i] == p) {
                for (uint64_t j = i + 1; j < m_count; ++j)
                    m_items[j - 1] = m_items[j];
                --m_count;
                return true;
            }
        }
        return false;
    }
    // Frees its own elements and takes all of `other`'s.
    void TakeOver(AuxPtrArray& other)
    {
        Free();
        m_items = other.m_items;
        m_count = other.m_count;
        other.m_items = nullptr;
        other.m_count = 0;
    }
    void Free()
    {
        sec_free(m_items);
        m_items = nullptr;
        m_count = 0;
    }

protected:
    T** m_items = nullptr;
    uint64_t m_count = 0;
};

// Holds one reference per element.
template <class T>
class AuxRefArray {
public:
    AuxRefArray() = default;
    ~AuxRefArray() { Free(); }
    AuxRefArray(const AuxRefArray&) = delete;
    AuxRefArray& operator=(const AuxRefArray&) = delete;

    uint64_t Count() const { return m_items.Count(); }
    T* operator[](uint64_t i) const { return m_items[i]; }
    bool Contains(T* p) const
    {
        for (uint64_t i = 0; i < m_items.Count(); ++i)
            if (m_items[i] == p)
                return true;
        return false;
    }

    // NULL is ignored; a failed growth releases every element.
    void Add(T* p)
    {
        if (p == nullptr)
            return;
        if (m_items.TryAdd(p))
            p->AddRef();
        else
            Free();
    }
    // Removes and releases the first element equal to `p`; true when one was there.
    bool Delete(T* p)
    {
        if (!m_items.Delete(p))
            return false;
        p->Release();
        return true;
    }
    // Removes the first element and hands its reference to the caller.
    T* TakeFirst()
    {
        T* p = m_items[0];
        if (p)
            m_items.Delete(p);
        return p;
    }
    void Free()
    {
        uint64_t count = m_items.Count();
        for (uint64_t i = count; i > 0; --i)
            m_items[i - 1]->Release();
        m_items.Free();
    }

private:
    AuxPtrArray<T> m_items;
};

}  // namespace ZELK::PSESVC
