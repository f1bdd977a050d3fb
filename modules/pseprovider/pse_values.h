// The crypto library's values as this module handles them: type tables,
// list appends at a cursor and owners that free through the type tables.
#pragma once

#include "qev_attributes.h"
#include "qev_records.h"
#include "qev_values.h"
#include "zelk_holders.h"

namespace ZELK::ZELKPSE {

inline const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

inline const SEC_DNAME_TYPE_TABLE* NameTable()
{
    return static_cast<const SEC_DNAME_TYPE_TABLE*>(TypeTable(SEC_TYPE_DName));
}

// Frees a value through its type's free entry (lists with everything they hold).
inline void FreeValue(unsigned int index, void* value)
{
    const SEC_TYPE_TABLE* table = TypeTable(index);
    if (value != nullptr && table != nullptr && table->free != nullptr)
        table->free(value);
}

// Equal by the type's compare entry; a missing value is equal to nothing.
inline bool SameValue(unsigned int index, const void* a, const void* b)
{
    const SEC_TYPE_TABLE* table = TypeTable(index);
    return a != nullptr && b != nullptr && table != nullptr && table->compare != nullptr && table->compare(a, b) == 0;
}

// A new node at the cursor holding `element`; the cursor moves to its next.
template <class Node, class Element>
HRESULT AppendNode(unsigned int listType, Node**& cursor, Element* element)
{
    const SEC_TYPE_TABLE* table = TypeTable(listType);
    if (table == nullptr || table->new_node == nullptr)
        return E_FAIL;
    HRESULT hr = table->new_node(reinterpret_cast<void**>(cursor));
    if (FAILED(hr))
        return hr;
    (*cursor)->element = element;
    cursor = &(*cursor)->next;
    return S_OK;
}

// Appends a copy of the info.
HRESULT AppendInfoCopy(SET_OF_PersonalCertificateInfo**& cursor, const PersonalCertificateInfo* info);
// Appends the certificate with a reference of its own.
HRESULT AppendCertificate(SET_OF_Certificate**& cursor, Certificate* certificate);

template <class Node>
Node** ListTail(Node** cursor)
{
    while (*cursor != nullptr)
        cursor = &(*cursor)->next;
    return cursor;
}

// Owns one value of type `Index`.
template <class T, unsigned int Index>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* p) : m_p(p) {}
    ~Owned() { FreeValue(Index, m_p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    T* get() const { return m_p; }
    T** out()
    {
        reset();
        return &m_p;
    }
    void reset(T* p = nullptr)
    {
        FreeValue(Index, m_p);
        m_p = p;
    }
    T* release()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

using OwnList = Owned<SET_OF_PersonalCertificateInfo, SEC_TYPE_SET_OF_PersonalCertificateInfo>;
using CertificateList = Owned<SET_OF_Certificate, SEC_TYPE_SET_OF_Certificate>;

// The value of an attribute when its type is the one expected (or not
// recorded); `ok` false when the attribute carries a value of another type.
inline const void* TypedValue(const SECAttribute* attribute, unsigned int index, bool& ok)
{
    ok = attribute->type == nullptr || attribute->type == TypeTable(index);
    return ok ? attribute->value : nullptr;
}

}  // namespace ZELK::ZELKPSE
