// Appending to the crypto library's lists at a cursor: a node through entry 7
// of the list's type table, each element with a reference of its own, and the
// cursor moved to the node's next pointer.
#pragma once

#include "qev_records.h"
#include "qev_values.h"
#include "zelk_holders.h"

namespace ZELK::PSESVC {

template <class Node, class Element>
HRESULT AppendNode(unsigned int listType, Node**& cursor, Element* element)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, listType);
    if (table == nullptr || table->new_node == nullptr)
        return E_FAIL;
    HRESULT hr = table->new_node(reinterpret_cast<void**>(cursor));
    if (FAILED(hr))
        return hr;
    (*cursor)->element = element;
    cursor = &(*cursor)->next;
    return S_OK;
}

inline HRESULT AppendCertificate(SET_OF_Certificate**& cursor, Certificate* certificate)
{
    certificate->AddRef();
    HRESULT hr = AppendNode(SEC_TYPE_SET_OF_Certificate, cursor, certificate);
    if (FAILED(hr))
        certificate->Release();
    return hr;
}

inline HRESULT AppendInfo(SET_OF_PersonalCertificateInfo**& cursor, PersonalCertificateInfo* info)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
    if (table == nullptr || table->add_ref == nullptr)
        return E_FAIL;
    table->add_ref(info);
    HRESULT hr = AppendNode(SEC_TYPE_SET_OF_PersonalCertificateInfo, cursor, info);
    if (FAILED(hr))
        table->free(info);
    return hr;
}

// The cursor moved past the nodes it already holds.
template <class Node>
Node** ListTail(Node** cursor)
{
    while (*cursor != nullptr)
        cursor = &(*cursor)->next;
    return cursor;
}

// Frees a whole list through its type's free entry.
template <class Node>
void FreeList(unsigned int listType, Node* list)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, listType);
    if (list != nullptr && table != nullptr && table->free != nullptr)
        table->free(list);
}

}  // namespace ZELK::PSESVC
