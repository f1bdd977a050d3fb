// Read-only containers of items in insertion order: CContainerImpl keeps
// borrowed pointers, CContainerUnkImpl holds one reference on each item and
// answers IContainerRO through the items' own QueryInterface.
#pragma once

#include "zelk_alloc.h"
#include "zelk_base_certificate.h"

template <class T, class I>
class CContainerImpl : public I {
public:
    CContainerImpl() = default;
    virtual ~CContainerImpl() { Free(); }
    CContainerImpl(const CContainerImpl&) = delete;
    CContainerImpl& operator=(const CContainerImpl&) = delete;

    using I::GetItem;

    int GetCount(unsigned long* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = m_count;
        return S_OK;
    }

    // The item itself, borrowed.
    virtual int GetItem(unsigned long index, T** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (index >= m_count)
            return E_INVALIDARG;
        *out = m_items[index];
        return S_OK;
    }

    // Appends at the end; 0x8007000E when the array cannot grow.
    virtual int AddItem(T* item)
    {
        if (m_count >= m_capacity) {
            const unsigned long capacity = m_capacity == 0 ? 8 : m_capacity * 2;
            if (capacity > SIZE_MAX / sizeof(T*))
                return E_OUTOFMEMORY;
            auto** grown = static_cast<T**>(sec_realloc(m_items, capacity * sizeof(T*)));
            if (grown == nullptr)
                return E_OUTOFMEMORY;
            m_items = grown;
            m_capacity = capacity;
        }
        m_items[m_count++] = item;
        return S_OK;
    }

    virtual void Free()
    {
        sec_free(m_items);
        m_items = nullptr;
        m_count = 0;
        m_capacity = 0;
    }

protected:
    T** m_items = nullptr;
    unsigned long m_count = 0;
    unsigned long m_capacity = 0;
};

template <class T, class I>
class CContainerUnkImpl : public CContainerImpl<T, I> {
    typedef CContainerImpl<T, I> Base;

public:
    ~CContainerUnkImpl() override { ReleaseItems(); }

    int GetItem(unsigned long index, const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (index >= this->m_count)
            return E_INVALIDARG;
        return this->m_items[index]->QueryInterface(iid, out);
    }

    // The item with one reference more for the caller.
    int GetItem(unsigned long index, T** out) override
    {
        int hr = Base::GetItem(index, out);
        if (hr == S_OK)
            (*out)->AddRef();
        return hr;
    }

    // The container takes its own reference.
    int AddItem(T* item) override
    {
        int hr = Base::AddItem(item);
        if (hr == S_OK)
            item->AddRef();
        return hr;
    }

    void Free() override
    {
        ReleaseItems();
        Base::Free();
    }

private:
    void ReleaseItems()
    {
        for (unsigned long i = 0; i < this->m_count; ++i)
            this->m_items[i]->Release();
        this->m_count = 0;
    }
};
