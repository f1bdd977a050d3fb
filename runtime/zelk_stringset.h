// The crypto library's string lists (SET_OF_String) as every deliverable
// handles them: nodes are made and freed through the list's and the string
// type's tables of "SEC_COMMONTYPES_1"; comparisons and matching go through
// "String.1". The functions take no lock: a list belongs to its caller.
#pragma once

#include "qevcrypto.h"
#include "zelk_result.h"

// A missing list address, text or pattern.
constexpr HRESULT SEC_E_STRINGSET_ARG = ZELK_RC(0xA010000B);

// Number of nodes; 0 for NULL.
unsigned long SET_OF_String_count(const SET_OF_String* list);

// *out = prefix, the node strings with `separator` between neighbours, and
// suffix, as one new string from the crypto library's allocator (NULL pieces
// count as empty). 0; 0x8007000E when memory runs out (*out NULL).
HRESULT SET_OF_String_merge(const SET_OF_String* list, char** out, const char* prefix, const char* separator,
                            const char* suffix);

// Appends a copy of `text` at the tail unless an equal string is present (0
// without change then).
HRESULT SET_OF_String_add(SET_OF_String** list, const char* text);

// Remove every node that is equal / matches the wildcard pattern (case
// sensitive) / starts with the prefix: 0 when something was removed, 1 when
// nothing was.
HRESULT SET_OF_String_remove(SET_OF_String** list, const char* text);
HRESULT SET_OF_String_remove_Match(SET_OF_String** list, const char* pattern);
HRESULT SET_OF_String_remove_StartsWith(SET_OF_String** list, const char* prefix);

// Unlinks and frees the first node; nothing for an empty list.
void SET_OF_String_remove_first(SET_OF_String** list);

// 1 when a node's string is equal / matches / starts with the argument; 0
// otherwise and for a NULL argument.
int SET_OF_String_contains(const SET_OF_String* list, const char* text);
int SET_OF_String_contains_Match(const SET_OF_String* list, const char* pattern);
int SET_OF_String_contains_StartsWith(const SET_OF_String* list, const char* prefix);
