// The string tables of module "zelkstring" as every deliverable calls them:
// the bound table variables and thin wrappers named like the slots. A wrapper
// taking char texts calls "String.1" (or "MultiString.1"), the same name
// taking wchar_t texts calls "StringW.1" (or "MultiStringW.1"). The tables are
// bound by ZELK_Initialize; texts handed out are freed with sec_free, and
// output parameters are overwritten without being freed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "qevcrypto.h"
#include "zelk_string_tables.h"

extern API_COMMON* STRING_TABLE;
extern API_COMMON* STRINGW_TABLE;
extern API_COMMON* MULTISTRING_TABLE;
extern API_COMMON* MULTISTRINGW_TABLE;

namespace kestrin::runtime::strings {

inline const STRING_FUNCTION_TABLE* S()
{
    return ZELK_ApiCast<STRING_FUNCTION_TABLE>(STRING_TABLE);
}
inline const STRINGW_FUNCTION_TABLE* W()
{
    return ZELK_ApiCast<STRINGW_FUNCTION_TABLE>(STRINGW_TABLE);
}
inline const MULTISTRING_FUNCTION_TABLE* MS()
{
    return ZELK_ApiCast<MULTISTRING_FUNCTION_TABLE>(MULTISTRING_TABLE);
}
inline const MULTISTRINGW_FUNCTION_TABLE* MW()
{
    return ZELK_ApiCast<MULTISTRINGW_FUNCTION_TABLE>(MULTISTRINGW_TABLE);
}

}  // namespace kestrin::runtime::strings

// "String.1" and "StringW.1" ------------------------------------------------

inline char** String_SetNULL(char** p)
{
    return kestrin::runtime::strings::S()->SetNULL(p);
}
inline wchar_t** String_SetNULL(wchar_t** p)
{
    return kestrin::runtime::strings::W()->SetNULL(p);
}

inline size_t String_Length(const char* t)
{
    return kestrin::runtime::strings::S()->Length(t);
}
inline size_t String_Length(const wchar_t* t)
{
    return kestrin::runtime::strings::W()->Length(t);
}

inline HRESULT String_Copy(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->Copy(t, out);
}
inline HRESULT String_Copy(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Copy(t, out);
}

// Cross-width copies through the conversion slots with code page 0 (UTF-8):
// *out = the converted text (NULL for NULL); 0x80004005 when the conversion fails.
inline HRESULT String_Copy(const char* t, wchar_t** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    kestrin::runtime::strings::S()->Convert(t, out, 0);
    return (t == nullptr || *out != nullptr) ? S_OK : E_FAIL;
}
inline HRESULT String_Copy(const wchar_t* t, char** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    kestrin::runtime::strings::W()->Convert(t, out, 0);
    return (t == nullptr || *out != nullptr) ? S_OK : E_FAIL;
}

inline HRESULT String_CopyN(const char* t, size_t n, char** out)
{
    return kestrin::runtime::strings::S()->CopyN(t, n, out);
}
inline HRESULT String_CopyN(const wchar_t* t, size_t n, wchar_t** out)
{
    return kestrin::runtime::strings::W()->CopyN(t, n, out);
}

inline int32_t String_Compare(const char* a, const char* b)
{
    return kestrin::runtime::strings::S()->Compare(a, b);
}
inline int32_t String_Compare(const wchar_t* a, const wchar_t* b)
{
    return kestrin::runtime::strings::W()->Compare(a, b);
}

inline int32_t String_NCompare(const char* a, const char* b, int n)
{
    return kestrin::runtime::strings::S()->NCompare(a, b, n);
}
inline int32_t String_NCompare(const wchar_t* a, const wchar_t* b, int n)
{
    return kestrin::runtime::strings::W()->NCompare(a, b, n);
}

inline int32_t String_CompareNoCase(const char* a, const char* b)
{
    return kestrin::runtime::strings::S()->CompareNoCase(a, b);
}
inline int32_t String_CompareNoCase(const wchar_t* a, const wchar_t* b)
{
    return kestrin::runtime::strings::W()->CompareNoCase(a, b);
}

inline int32_t String_NCompareNoCase(const char* a, const char* b, int n)
{
    return kestrin::runtime::strings::S()->NCompareNoCase(a, b, n);
}
inline int32_t String_NCompareNoCase(const wchar_t* a, const wchar_t* b, int n)
{
    return kestrin::runtime::strings::W()->NCompareNoCase(a, b, n);
}

inline bool String_IsEmpty(const char* t)
{
    return kestrin::runtime::strings::S()->IsEmpty(t);
}
inline bool String_IsEmpty(const wchar_t* t)
{
    return kestrin::runtime::strings::W()->IsEmpty(t);
}

inline bool String_IsSpace(const char* t)
{
    return kestrin::runtime::strings::S()->IsSpace(t);
}
inline bool String_IsSpace(const wchar_t* t)
{
    return kestrin::runtime::strings::W()->IsSpace(t);
}

inline bool String_NIsSpace(const char* t, size_t n)
{
    return kestrin::runtime::strings::S()->NIsSpace(t, n);
}
inline bool String_NIsSpace(const wchar_t* t, size_t n)
{
    return kestrin::runtime::strings::W()->NIsSpace(t, n);
}

inline uint32_t String_Find(const char* t, size_t start, const char* needle)
{
    return kestrin::runtime::strings::S()->Find(t, start, needle);
}
inline uint32_t String_Find(const wchar_t* t, size_t start, const wchar_t* needle)
{
    return kestrin::runtime::strings::W()->Find(t, start, needle);
}

inline uint32_t String_Replace(const char* t, const char* from, const char* to, char** out)
{
    return kestrin::runtime::strings::S()->Replace(t, from, to, out);
}
inline uint32_t String_Replace(const wchar_t* t, const wchar_t* from, const wchar_t* to, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Replace(t, from, to, out);
}

inline uint32_t String_FindOneOf(const char* t, const char* set)
{
    return kestrin::runtime::strings::S()->FindOneOf(t, set);
}
inline uint32_t String_FindOneOf(const wchar_t* t, const wchar_t* set)
{
    return kestrin::runtime::strings::W()->FindOneOf(t, set);
}

inline uint32_t String_ReverseFind(const char* t, char c)
{
    return kestrin::runtime::strings::S()->ReverseFind(t, c);
}
inline uint32_t String_ReverseFind(const wchar_t* t, wchar_t c)
{
    return kestrin::runtime::strings::W()->ReverseFind(t, c);
}

inline bool String_StartsWith(const char* t, const char* prefix)
{
    return kestrin::runtime::strings::S()->StartsWith(t, prefix);
}
inline bool String_StartsWith(const wchar_t* t, const wchar_t* prefix)
{
    return kestrin::runtime::strings::W()->StartsWith(t, prefix);
}

inline bool String_StartsWithNoCase(const char* t, const char* prefix)
{
    return kestrin::runtime::strings::S()->StartsWithNoCase(t, prefix);
}
inline bool String_StartsWithNoCase(const wchar_t* t, const wchar_t* prefix)
{
    return kestrin::runtime::strings::W()->StartsWithNoCase(t, prefix);
}

inline const char* String_ExtractToken(const char* t, const char* delim, char** out)
{
    return kestrin::runtime::strings::S()->ExtractToken(t, delim, out);
}
inline const wchar_t* String_ExtractToken(const wchar_t* t, const wchar_t* delim, wchar_t** out)
{
    return kestrin::runtime::strings::W()->ExtractToken(t, delim, out);
}

inline const char* String_ExtractTokens(const char* t, const char** delims, unsigned count, char** out)
{
    return kestrin::runtime::strings::S()->ExtractTokens(t, delims, count, out);
}
inline const wchar_t* String_ExtractTokens(const wchar_t* t, const wchar_t** delims, unsigned count, wchar_t** out)
{
    return kestrin::runtime::strings::W()->ExtractTokens(t, delims, count, out);
}

inline void String_ExtractTokenByIdx(const char* t, unsigned index, char** out)
{
    kestrin::runtime::strings::S()->ExtractTokenByIdx(t, index, out);
}
inline void String_ExtractTokenByIdx(const wchar_t* t, unsigned index, wchar_t** out)
{
    kestrin::runtime::strings::W()->ExtractTokenByIdx(t, index, out);
}

inline HRESULT String_Chop(char* t)
{
    return kestrin::runtime::strings::S()->Chop(t);
}
inline HRESULT String_Chop(wchar_t* t)
{
    return kestrin::runtime::strings::W()->Chop(t);
}

inline void String_Burn(char* t)
{
    kestrin::runtime::strings::S()->Burn(t);
}
inline void String_Burn(wchar_t* t)
{
    kestrin::runtime::strings::W()->Burn(t);
}

inline HRESULT String_Mid(const char* t, int start, size_t n, char** out)
{
    return kestrin::runtime::strings::S()->Mid(t, start, n, out);
}
inline HRESULT String_Mid(const wchar_t* t, int start, size_t n, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Mid(t, start, n, out);
}

inline HRESULT String_Left(const char* t, size_t n, char** out)
{
    return kestrin::runtime::strings::S()->Left(t, n, out);
}
inline HRESULT String_Left(const wchar_t* t, size_t n, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Left(t, n, out);
}

inline HRESULT String_Right(const char* t, size_t n, char** out)
{
    return kestrin::runtime::strings::S()->Right(t, n, out);
}
inline HRESULT String_Right(const wchar_t* t, size_t n, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Right(t, n, out);
}

inline void String_FormatV(const char* format, va_list args, char** out)
{
    kestrin::runtime::strings::S()->FormatV(format, args, out);
}
inline void String_FormatV(const wchar_t* format, va_list args, wchar_t** out)
{
    kestrin::runtime::strings::W()->FormatV(format, args, out);
}

inline char* String_Append(char* t, const char* add)
{
    return kestrin::runtime::strings::S()->Append(t, add);
}
inline wchar_t* String_Append(wchar_t* t, const wchar_t* add)
{
    return kestrin::runtime::strings::W()->Append(t, add);
}

inline bool String_EndsWith(const char* t, const char* suffix)
{
    return kestrin::runtime::strings::S()->EndsWith(t, suffix);
}
inline bool String_EndsWith(const wchar_t* t, const wchar_t* suffix)
{
    return kestrin::runtime::strings::W()->EndsWith(t, suffix);
}

inline HRESULT String_MakeUpper(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->MakeUpper(t, out);
}
inline HRESULT String_MakeUpper(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::W()->MakeUpper(t, out);
}

inline HRESULT String_MakeLower(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->MakeLower(t, out);
}
inline HRESULT String_MakeLower(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::W()->MakeLower(t, out);
}

inline char* String_MakeCannon(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->MakeCannon(t, out);
}
inline wchar_t* String_MakeCannon(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::W()->MakeCannon(t, out);
}

inline size_t String_Delete(const char* t, char** out, size_t start, size_t n)
{
    return kestrin::runtime::strings::S()->Delete(t, out, start, n);
}
inline size_t String_Delete(const wchar_t* t, wchar_t** out, size_t start, size_t n)
{
    return kestrin::runtime::strings::W()->Delete(t, out, start, n);
}

inline HRESULT String_IntToString(unsigned long value, char** out)
{
    return kestrin::runtime::strings::S()->IntToString(value, out);
}
inline HRESULT String_IntToString(unsigned long value, wchar_t** out)
{
    return kestrin::runtime::strings::W()->IntToString(value, out);
}

inline int64_t String_StringToInt(const char* t)
{
    return kestrin::runtime::strings::S()->StringToInt(t);
}
inline int64_t String_StringToInt(const wchar_t* t)
{
    return kestrin::runtime::strings::W()->StringToInt(t);
}

inline bool String_Is8Bit(const char* t)
{
    return kestrin::runtime::strings::S()->Is8Bit(t);
}
inline bool String_Is8Bit(const wchar_t* t)
{
    return kestrin::runtime::strings::W()->Is8Bit(t);
}

inline uint32_t String_MatchQuality(const char* t, const char* pattern)
{
    return kestrin::runtime::strings::S()->MatchQuality(t, pattern);
}
inline uint32_t String_MatchQuality(const wchar_t* t, const wchar_t* pattern)
{
    return kestrin::runtime::strings::W()->MatchQuality(t, pattern);
}

inline bool String_Match(const char* t, const char* pattern, signed char noCase, char wildcard)
{
    return kestrin::runtime::strings::S()->Match(t, pattern, noCase, wildcard);
}
inline bool String_Match(const wchar_t* t, const wchar_t* pattern, signed char noCase, wchar_t wildcard)
{
    return kestrin::runtime::strings::W()->Match(t, pattern, noCase, wildcard);
}

inline HRESULT String_RemoveQuote(char* t)
{
    return kestrin::runtime::strings::S()->RemoveQuote(t);
}
inline HRESULT String_RemoveQuote(wchar_t* t)
{
    return kestrin::runtime::strings::W()->RemoveQuote(t);
}

inline void String_Convert(const char* t, wchar_t** out, unsigned codePage)
{
    kestrin::runtime::strings::S()->Convert(t, out, codePage);
}
inline void String_Convert(const wchar_t* t, char** out, unsigned codePage)
{
    kestrin::runtime::strings::W()->Convert(t, out, codePage);
}

inline char* String_AppendConvert(char* t, const wchar_t* add, unsigned codePage)
{
    return kestrin::runtime::strings::S()->AppendConvert(t, add, codePage);
}
inline wchar_t* String_AppendConvert(wchar_t* t, const char* add, unsigned codePage)
{
    return kestrin::runtime::strings::W()->AppendConvert(t, add, codePage);
}

inline HRESULT String_Base64Encode(OctetString* data, char** out)
{
    return kestrin::runtime::strings::S()->Base64Encode(data, out);
}
inline HRESULT String_Base64Encode(OctetString* data, wchar_t** out)
{
    return kestrin::runtime::strings::W()->Base64Encode(data, out);
}

inline HRESULT String_Base64Decode(const char* t, OctetString** out)
{
    return kestrin::runtime::strings::S()->Base64Decode(t, out);
}
inline HRESULT String_Base64Decode(const wchar_t* t, OctetString** out)
{
    return kestrin::runtime::strings::W()->Base64Decode(t, out);
}

inline HRESULT String_HexEncode(OctetString* data, char** out)
{
    return kestrin::runtime::strings::S()->HexEncode(data, out);
}
inline HRESULT String_HexEncode(OctetString* data, wchar_t** out)
{
    return kestrin::runtime::strings::W()->HexEncode(data, out);
}

inline HRESULT String_HexDecode(const char* t, OctetString** out)
{
    return kestrin::runtime::strings::S()->HexDecode(t, out);
}
inline HRESULT String_HexDecode(const wchar_t* t, OctetString** out)
{
    return kestrin::runtime::strings::W()->HexDecode(t, out);
}

inline void String_OctetString2String(const OctetString* data, char** out)
{
    kestrin::runtime::strings::S()->OctetString2String(data, out);
}

inline HRESULT String_String2OctetString(const char* t, OctetString** out)
{
    return kestrin::runtime::strings::S()->String2OctetString(t, out);
}

inline HRESULT String_URLEncode(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->URLEncode(t, out);
}
// The wide text is encoded as UTF-8 bytes into a char text.
inline HRESULT String_URLEncode(const wchar_t* t, char** out)
{
    return kestrin::runtime::strings::W()->URLEncode(t, out);
}

inline HRESULT String_URLDecode(const char* t, char** out)
{
    return kestrin::runtime::strings::S()->URLDecode(t, out);
}
// Every escape gives one wide character of the escaped byte's value.
inline HRESULT String_URLDecode(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::W()->URLDecode(t, out);
}

// "MultiString.1" and "MultiStringW.1" ---------------------------------------

inline HRESULT String_MakeMultiString(const char* t, char** out, const char* separators)
{
    return kestrin::runtime::strings::MS()->MakeMultiString(t, out, separators);
}
inline HRESULT String_MakeMultiString(const wchar_t* t, wchar_t** out, const wchar_t* separators)
{
    return kestrin::runtime::strings::MW()->MakeMultiString(t, out, separators);
}

inline HRESULT StringMulti_Copy(const char* list, char** out)
{
    return kestrin::runtime::strings::MS()->Copy(list, out);
}
inline HRESULT StringMulti_Copy(const wchar_t* list, wchar_t** out)
{
    return kestrin::runtime::strings::MW()->Copy(list, out);
}

inline size_t StringMulti_GetLength(const char* list)
{
    return kestrin::runtime::strings::MS()->GetLength(list);
}
inline size_t StringMulti_GetLength(const wchar_t* list)
{
    return kestrin::runtime::strings::MW()->GetLength(list);
}

inline HRESULT StringMulti_Create(const char* t, char** out)
{
    return kestrin::runtime::strings::MS()->Create(t, out);
}
inline HRESULT StringMulti_Create(const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::MW()->Create(t, out);
}

inline size_t StringMulti_GetCount(const char* list)
{
    return kestrin::runtime::strings::MS()->GetCount(list);
}
inline size_t StringMulti_GetCount(const wchar_t* list)
{
    return kestrin::runtime::strings::MW()->GetCount(list);
}

inline int32_t StringMulti_Find(const char* list, const char* t)
{
    return kestrin::runtime::strings::MS()->Find(list, t);
}
inline int32_t StringMulti_Find(const wchar_t* list, const wchar_t* t)
{
    return kestrin::runtime::strings::MW()->Find(list, t);
}

inline int32_t StringMulti_FindNoCase(const char* list, const char* t)
{
    return kestrin::runtime::strings::MS()->FindNoCase(list, t);
}
inline int32_t StringMulti_FindNoCase(const wchar_t* list, const wchar_t* t)
{
    return kestrin::runtime::strings::MW()->FindNoCase(list, t);
}

inline const char* StringMulti_Get(const char* list, size_t index)
{
    return kestrin::runtime::strings::MS()->Get(list, index);
}
inline const wchar_t* StringMulti_Get(const wchar_t* list, size_t index)
{
    return kestrin::runtime::strings::MW()->Get(list, index);
}

inline HRESULT StringMulti_Add(const char* list, const char* t, char** out)
{
    return kestrin::runtime::strings::MS()->Add(list, t, out);
}
inline HRESULT StringMulti_Add(const wchar_t* list, const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::MW()->Add(list, t, out);
}

inline HRESULT StringMulti_Insert(const char* list, const char* t, char** out)
{
    return kestrin::runtime::strings::MS()->Insert(list, t, out);
}
inline HRESULT StringMulti_Insert(const wchar_t* list, const wchar_t* t, wchar_t** out)
{
    return kestrin::runtime::strings::MW()->Insert(list, t, out);
}

inline size_t StringMulti_GetCountEx(const char* list, const char* end)
{
    return kestrin::runtime::strings::MS()->GetCountEx(list, end);
}
inline size_t StringMulti_GetCountEx(const wchar_t* list, const wchar_t* end)
{
    return kestrin::runtime::strings::MW()->GetCountEx(list, end);
}
