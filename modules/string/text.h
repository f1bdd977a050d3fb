// The string module's own text functions, over char (UTF-8) and wchar_t
// (UTF-32) texts alike. The tables "String.1" and "StringW.1" point at these;
// inside the module they are called directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "qevcrypto.h"
#include "zelk_alloc.h"
#include "zelk_result.h"
#include "zelk_string_tables.h"

namespace kestrin::strings {

// Characters are classified and case-mapped as in the C locale, whatever the
// process's locale: only ASCII letters change case.
template <class C>
constexpr bool IsWhite(C c)
{
    return c == C(' ') || c == C('\t') || c == C('\n') || c == C('\v') || c == C('\f') || c == C('\r');
}

template <class C>
constexpr C ToLower(C c)
{
    return (c >= C('A') && c <= C('Z')) ? C(c - C('A') + C('a')) : c;
}

template <class C>
constexpr C ToUpper(C c)
{
    return (c >= C('a') && c <= C('z')) ? C(c - C('a') + C('A')) : c;
}

inline size_t Len(const char* t)
{
    return t ? std::strlen(t) : 0;
}
inline size_t Len(const wchar_t* t)
{
    return t ? std::wcslen(t) : 0;
}

// A new buffer of n characters (sec_malloc); NULL when the size overflows or
// the allocator fails.
template <class C>
C* AllocChars(size_t n)
{
    if (n == 0 || n > SIZE_MAX / sizeof(C))
        return nullptr;
    return static_cast<C*>(sec_malloc(n * sizeof(C)));
}

// A new text holding the n characters at t and a NUL; NULL when allocation fails.
template <class C>
C* NewText(const C* t, size_t n)
{
    if (n == SIZE_MAX)
        return nullptr;
    C* p = AllocChars<C>(n + 1);
    if (p == nullptr)
        return nullptr;
    if (n)
        std::memcpy(p, t, n * sizeof(C));
    p[n] = C(0);
    return p;
}

// Slots shared by both tables; the comments name the slot.
template <class C>
C** SetNULL(C** p);  // 1
template <class C>
size_t Length(const C* t);  // 2
template <class C>
HRESULT Copy(const C* t, C** out);  // 3
template <class C>
HRESULT CopyN(const C* t, size_t n, C** out);  // 4
template <class C>
int32_t Compare(const C* a, const C* b);  // 5
template <class C>
int32_t NCompare(const C* a, const C* b, int n);  // 6
template <class C>
int32_t CompareNoCase(const C* a, const C* b);  // 7
template <class C>
int32_t NCompareNoCase(const C* a, const C* b, int n);  // 8
template <class C>
bool IsEmpty(const C* t);  // 9
template <class C>
bool IsSpace(const C* t);  // 10
template <class C>
bool NIsSpace(const C* t, size_t n);  // 11
template <class C>
uint32_t Find(const C* t, size_t start, const C* needle);  // 12
template <class C>
uint32_t Replace(const C* t, const C* from, const C* to, C** out);  // 13
template <class C>
uint32_t FindOneOf(const C* t, const C* set);  // 14
template <class C>
uint32_t ReverseFind(const C* t, C c);  // 15
template <class C>
bool StartsWith(const C* t, const C* prefix);  // 16
template <class C>
bool StartsWithNoCase(const C* t, const C* prefix);  // 17
template <class C>
const C* ExtractToken(const C* t, const C* delim, C** out);  // 18
template <class C>
const C* ExtractTokens(const C* t, const C** delims, unsigned count, C** out);  // 19
template <class C>
void ExtractTokenByIdx(const C* t, unsigned index, C** out);  // 20
template <class C>
HRESULT Chop(C* t);  // 21
template <class C>
void Burn(C* t);  // 22
template <class C>
HRESULT Mid(const C* t, int start, size_t n, C** out);  // 23
template <class C>
HRESULT Left(const C* t, size_t n, C** out);  // 24
template <class C>
HRESULT Right(const C* t, size_t n, C** out);  // 25
template <class C>
C* Append(C* t, const C* add);  // 27
template <class C>
bool EndsWith(const C* t, const C* suffix);  // 28
template <class C>
HRESULT MakeUpper(const C* t, C** out);  // 29
template <class C>
HRESULT MakeLower(const C* t, C** out);  // 30
template <class C>
C* MakeCannon(const C* t, C** out);  // 31
template <class C>
size_t Delete(const C* t, C** out, size_t start, size_t n);  // 32
template <class C>
HRESULT IntToString(unsigned long value, C** out);  // 33
template <class C>
int64_t StringToInt(const C* t);  // 34
template <class C>
bool Is8Bit(const C* t);  // 35
template <class C>
HRESULT RemoveQuote(C* t);  // 38

// Encodings (slots 41 to 48), char table.
HRESULT String_Base64Encode(OctetString* data, char** out);
HRESULT String_Base64Decode(const char* t, OctetString** out);
HRESULT String_HexEncode(OctetString* data, char** out);
HRESULT String_HexDecode(const char* t, OctetString** out);
void String_OctetString2String(const OctetString* data, char** out);
HRESULT String_String2OctetString(const char* t, OctetString** out);
HRESULT String_URLEncode(const char* t, char** out);
HRESULT String_URLDecode(const char* t, char** out);

// Encodings, wide table.
HRESULT StringW_Base64Encode(OctetString* data, wchar_t** out);
HRESULT StringW_Base64Decode(const wchar_t* t, OctetString** out);
HRESULT StringW_HexEncode(OctetString* data, wchar_t** out);
HRESULT StringW_HexDecode(const wchar_t* t, OctetString** out);
void StringW_OctetString2String(const OctetString* data, wchar_t** out);
HRESULT StringW_String2OctetString(const wchar_t* t, OctetString** out);
HRESULT StringW_URLEncode(const wchar_t* t, char** out);
HRESULT StringW_URLDecode(const wchar_t* t, wchar_t** out);

// Frees an OctetString made by these functions (its data, then itself).
void FreeOctetString(OctetString* data);

}  // namespace kestrin::strings
