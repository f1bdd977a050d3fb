// Lists of texts in one buffer (tables "MultiString.1" and "MultiStringW.1"):
// each entry followed by a NUL, the list ended by an empty entry. The
// functions work on char and wchar_t lists alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace kestrin::strings {

template <class C>
HRESULT MakeMultiString(const C* t, C** out, const C* separators);  // 1
template <class C>
HRESULT MultiCopy(const C* list, C** out);  // 2
template <class C>
size_t MultiGetLength(const C* list);  // 3
template <class C>
HRESULT MultiCreate(const C* t, C** out);  // 4
template <class C>
size_t MultiGetCount(const C* list);  // 5
template <class C>
int32_t MultiFind(const C* list, const C* t);  // 6
template <class C>
int32_t MultiFindNoCase(const C* list, const C* t);  // 7
template <class C>
const C* MultiGet(const C* list, size_t index);  // 8
template <class C>
HRESULT MultiAdd(const C* list, const C* t, C** out);  // 9
template <class C>
HRESULT MultiInsert(const C* list, const C* t, C** out);  // 10
template <class C>
size_t MultiGetCountEx(const C* list, const C* end);  // 11

}  // namespace kestrin::strings
