// Builds the per-type tables of the library's own value types from typed
// free, copy and compare functions.
#pragma once

#include <cstdlib>

#include "qev_tables.h"

namespace kestrin::qevcrypto::values {

template <class T, void (*Free)(T*)>
HRESULT FreeEntry(void* value)
{
    Free(static_cast<T*>(value));
    return S_OK;
}

template <class T, T* (*Copy)(const T*)>
HRESULT CopyEntry(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    *dst = Copy(static_cast<const T*>(src));
    return *dst != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <class T, int (*Compare)(const T*, const T*)>
int CompareEntry(const void* a, const void* b)
{
    return Compare(static_cast<const T*>(a), static_cast<const T*>(b));
}

// A new zeroed value; for list types the node is put in front of *cursor.
template <class T, bool List>
HRESULT NewEntry(void** cursor)
{
    if (cursor == nullptr)
        return E_POINTER;
    T* node = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (node == nullptr)
        return E_OUTOFMEMORY;
    if constexpr (List)
        node->next = static_cast<T*>(*cursor);
    *cursor = node;
    return S_OK;
}

inline HRESULT NoAddRef(void*)
{
    return E_NOTIMPL;
}
inline HRESULT NoCopy(const void*, void**)
{
    return E_NOTIMPL;
}
inline int NoCompare(const void*, const void*)
{
    return -1;
}
inline HRESULT NoNew(void**)
{
    return E_NOTIMPL;
}
inline HRESULT NoDecode(const OctetString*, void**)
{
    return E_NOTIMPL;
}
inline HRESULT NoEncode(const void*, OctetString**)
{
    return E_NOTIMPL;
}

}  // namespace kestrin::qevcrypto::values
