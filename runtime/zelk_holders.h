// Owners of the crypto library's values and objects. AuxPtr owns one value and
// frees it through the free entry of the value's per-type table; AuxRefPtr
// holds one reference to a reference-counted object. Everything a holder owns
// comes from the crypto library's allocator, so that it can cross a module
// boundary and be freed by the receiver.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qevcrypto.h"
#include "secxml.h"
#include "zelk_alloc.h"
#include "zelk_common_fl.h"
#include "zelk_unknown.h"

// This deliverable's binding of "SEC_COMMONTYPES_1" (bound at start).
extern API_COMMON* fptr__common_types;

// The index of a value type in "SEC_COMMONTYPES_1". A type without an index
// cannot be used with the holders; further types declare theirs with
// ZELK_AUX_TYPE_INDEX next to their declaration.
template <class T>
struct AuxTypeIndex;

#define ZELK_AUX_TYPE_INDEX(type, index)                                                                               \
    template <>                                                                                                        \
    struct AuxTypeIndex<type> {                                                                                        \
        static constexpr unsigned int value = index;                                                                   \
    }

// The string type: values are char*.
ZELK_AUX_TYPE_INDEX(char, SEC_TYPE_String);
ZELK_AUX_TYPE_INDEX(OctetString, SEC_TYPE_OctetString);
ZELK_AUX_TYPE_INDEX(SET_OF_String, SEC_TYPE_SET_OF_String);
ZELK_AUX_TYPE_INDEX(SECAttribute, SEC_TYPE_SECAttribute);

// The value type behind a pointer, a pointer to a pointer, const or not.
template <class P>
struct AuxValueType {
    typedef std::remove_cv_t<P> type;
};
template <class P>
struct AuxValueType<P*> {
    typedef typename AuxValueType<std::remove_cv_t<P>>::type type;
};

// The per-type table of the value's type; only the type of the argument
// matters. NULL while "SEC_COMMONTYPES_1" is not bound.
template <class P>
const SEC_TYPE_TABLE* AuxGetTypeAPI(P)
{
    typedef typename AuxValueType<P>::type T;
    return SEC_TypeTable(fptr__common_types, AuxTypeIndex<T>::value);
}

// Frees *p through its type's free entry and clears it. 0x80004005 (and the
// value kept) when the type table is not bound.
template <class T>
HRESULT AuxFree(T** p)
{
    if (p == nullptr || *p == nullptr)
        return S_OK;
    const SEC_TYPE_TABLE* table = AuxGetTypeAPI(p);
    if (table == nullptr || table->free == nullptr)
        return E_FAIL;
    table->free(const_cast<std::remove_cv_t<T>*>(*p));
    *p = nullptr;
    return S_OK;
}

// libxml2 values, freed through this deliverable's binding of the table
// "libxml2" of module "secxml": a document with xmlFreeDoc, a node unlinked
// from its tree and then freed. 0x80004005 (and the value kept) while unbound.
inline HRESULT AuxFree(_xmlDoc** p)
{
    if (p == nullptr || *p == nullptr)
        return S_OK;
    const SECXML_LIBXML2_TABLE* xml = SECXML_Table();
    if (xml == nullptr)
        return E_FAIL;
    xml->xmlFreeDoc(*p);
    *p = nullptr;
    return S_OK;
}

inline HRESULT AuxFree(_xmlNode** p)
{
    if (p == nullptr || *p == nullptr)
        return S_OK;
    const SECXML_LIBXML2_TABLE* xml = SECXML_Table();
    if (xml == nullptr)
        return E_FAIL;
    xml->xmlUnlinkNode(*p);
    xml->xmlFreeNode(*p);
    *p = nullptr;
    return S_OK;
}

// *dst receives a copy of src (NULL when src is NULL). The old *dst is not freed.
template <class T>
HRESULT AuxCpy(const T* src, T** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    const SEC_TYPE_TABLE* table = AuxGetTypeAPI(src);
    if (table == nullptr || table->copy == nullptr)
        return E_FAIL;
    void* copy = nullptr;
    HRESULT hr = table->copy(src, &copy);
    if (FAILED(hr))
        return hr;
    *dst = static_cast<T*>(copy);
    return hr;
}

// The copy itself, NULL when it could not be made.
template <class T>
T* AuxCpy(const T* src)
{
    T* copy = nullptr;
    AuxCpy(src, &copy);
    return copy;
}

// *out receives a zeroed structure of the type from the library's allocator;
// returns it, NULL when memory runs out.
template <class T>
T* AuxMalloc(T** out)
{
    *out = static_cast<T*>(sec_calloc(1, sizeof(T)));
    return *out;
}

// Owns one value of the crypto library.
template <class T, class T2 = T>
class AuxPtr {
public:
    AuxPtr() = default;
    AuxPtr(T* p) : m_p(p) {}
    ~AuxPtr() { Free(); }
    AuxPtr(const AuxPtr&) = delete;
    AuxPtr& operator=(const AuxPtr&) = delete;

    void Free() { AuxFree(&m_p); }

    // Out-parameter idiom: the old value is freed before the callee writes.
    T** operator&()
    {
        Free();
        return &m_p;
    }

    void Attach(T* p)
    {
        if (p == m_p)
            return;
        Free();
        m_p = p;
    }
    AuxPtr& operator=(T* p)
    {
        Attach(p);
        return *this;
    }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    operator T*() const { return m_p; }
    T* operator->() const { return m_p; }
    AuxPtr* GetAddr() { return this; }
    bool operator!() const { return m_p == nullptr; }

private:
    T* m_p = nullptr;
};

// Holds one reference to a reference-counted object of the crypto library
// (anything with AddRef and Release).
template <class T, class T2 = T>
class AuxRefPtr {
public:
    AuxRefPtr() = default;
    AuxRefPtr(T* p) { Assign(p); }
    ~AuxRefPtr() { Free(); }
    AuxRefPtr(const AuxRefPtr&) = delete;
    AuxRefPtr& operator=(const AuxRefPtr&) = delete;

    // The new reference is taken before the old one is released: the new
    // object may be kept alive only by the old one.
    void Assign(T* p)
    {
        if (p == m_p)
            return;
        if (p != nullptr)
            p->AddRef();
        T* old = m_p;
        m_p = p;
        if (old != nullptr)
            old->Release();
    }
    AuxRefPtr& operator=(T* p)
    {
        Assign(p);
        return *this;
    }

    void Free()
    {
        T* old = m_p;
        m_p = nullptr;
        if (old != nullptr)
            old->Release();
    }

    // Adopts a reference the caller owned.
    void Attach(T* p)
    {
        Free();
        m_p = p;
    }
    // Hands the reference over.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    // Out-parameter idiom: the callee's reference is adopted.
    T** operator&()
    {
        Free();
        return &m_p;
    }

    operator T*() const { return m_p; }
    T* operator->() const { return m_p; }
    AuxRefPtr* GetAddr() { return this; }
    bool operator!() const { return m_p == nullptr; }

private:
    T* m_p = nullptr;
};

template <class T, class T2>
bool operator==(const void* p, const AuxPtr<T, T2>& holder)
{
    return p == static_cast<const void*>(static_cast<T*>(holder));
}
template <class T, class T2>
bool operator!=(const void* p, const AuxPtr<T, T2>& holder)
{
    return !(p == holder);
}
template <class T, class T2>
bool operator==(const void* p, const AuxRefPtr<T, T2>& holder)
{
    return p == static_cast<const void*>(static_cast<T*>(holder));
}
template <class T, class T2>
bool operator!=(const void* p, const AuxRefPtr<T, T2>& holder)
{
    return !(p == holder);
}
