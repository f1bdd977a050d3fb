// The typed interface smart pointer: holds one reference and knows the
// identifier of the interface it holds, so that it can query any other
// interface pointer for it.
#pragma once

#include <cstddef>

#include "zelk_unknown.h"

template <class I, const GUID* piid>
class CComIID {
public:
    typedef I Interface;
    static const GUID& GetIID() { return *piid; }
};

template <class IIDT>
class CComPtr {
public:
    typedef typename IIDT::Interface T;

    CComPtr() = default;
    CComPtr(int) {}
    CComPtr(std::nullptr_t) {}
    CComPtr(T* p) : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.m_p) {}
    // From another interface or class: queries for the held interface.
    template <class U>
    CComPtr(U* p)
    {
        _QueryInterface(p);
    }
    template <class J>
    CComPtr(const CComPtr<J>& other)
    {
        _QueryInterface(other.getObject());
    }
    ~CComPtr()
    {
        if (m_p)
            m_p->Release();
    }

    // The new reference is taken before the old one is released, so that
    // assigning the held pointer (or one it keeps alive) is safe.
    CComPtr& operator=(T* p)
    {
        if (p)
            p->AddRef();
        T* old = m_p;
        m_p = p;
        if (old)
            old->Release();
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) { return *this = other.m_p; }
    template <class U>
    CComPtr& operator=(U* p)
    {
        _QueryInterface(p);
        return *this;
    }
    template <class J>
    CComPtr& operator=(const CComPtr<J>& other)
    {
        _QueryInterface(other.getObject());
        return *this;
    }

    T* operator->() const { return m_p; }
    operator T*() const { return m_p; }
    T* getObject() const { return m_p; }
    static const GUID& GetIID() { return IIDT::GetIID(); }

    // Out-argument idiom: the held reference is released first.
    T** operator&()
    {
        _Release();
        m_p = nullptr;
        return &m_p;
    }

    // Takes over the caller's reference.
    void Attach(T* p)
    {
        T* old = m_p;
        m_p = p;
        if (old)
            old->Release();
    }
    // Hands the reference to the caller.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    void _AddRef()
    {
        if (m_p)
            m_p->AddRef();
    }
    void AddRef() { _AddRef(); }
    void _Release()
    {
        if (m_p)
            m_p->Release();
    }

    // NULL empties the pointer and gives 0x80000004; a failed query empties it.
    template <class U>
    HRESULT _QueryInterface(U* p)
    {
        if (p == nullptr) {
            *this = static_cast<T*>(nullptr);
            return E_NOINTERFACE;
        }
        T* result = nullptr;
        HRESULT hr = p->QueryInterface(GetIID(), reinterpret_cast<void**>(&result));
        Attach(FAILED(hr) ? nullptr : result);
        return hr;
    }

    bool operator==(const CComPtr& other) const { return m_p == other.m_p; }
    bool operator==(std::nullptr_t) const { return m_p == nullptr; }
    template <class U>
    bool operator==(U* p) const
    {
        return static_cast<const void*>(m_p) == static_cast<const void*>(p);
    }

private:
    T* m_p = nullptr;
};

// CComPtr over an interface whose identifier constant is IID_ + its name.
#define ZELK_PTR(iface) CComPtr<CComIID<iface, &IID_##iface>>
