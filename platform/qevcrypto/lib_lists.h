// Lists handed out by the library's objects, built through their types'
// entries of "SEC_COMMONTYPES_1" so that the type tables can free, copy and
// count them.
#pragma once

#include "qev_tables.h"
#include "qevcrypto.h"

namespace kestrin::qevcrypto {

inline const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(qev_find_table("SEC_COMMONTYPES_1"), index);
}

// Puts `element` into a new node at *cursor (entry 7 of the list type) and
// moves the cursor to that node's next; the list owns the element from then
// on. On failure the element stays the caller's.
template <class Node, class E>
HRESULT AppendNode(unsigned int listType, Node**& cursor, E* element)
{
    const SEC_TYPE_TABLE* table = TypeTable(listType);
    if (table == nullptr || table->new_node == nullptr)
        return E_NOTIMPL;
    void* at = *cursor;
    HRESULT hr = table->new_node(&at);
    if (FAILED(hr))
        return hr;
    Node* node = static_cast<Node*>(at);
    node->element = element;
    *cursor = node;
    cursor = &node->next;
    return S_OK;
}

// Frees a value through entry 2 of its type.
inline void FreeTyped(unsigned int type, void* value)
{
    const SEC_TYPE_TABLE* table = TypeTable(type);
    if (value != nullptr && table != nullptr && table->free != nullptr)
        table->free(value);
}

}  // namespace kestrin::qevcrypto
