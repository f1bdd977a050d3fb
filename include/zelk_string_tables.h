// Layouts of the function tables of module "zelkstring": "String.1" (UTF-8
// texts of char), "StringW.1" (UTF-32 texts of wchar_t), "MultiString.1" and
// "MultiStringW.1" (lists of texts in one buffer). The module fills them and
// every other deliverable calls them through its bound table variables (see
// runtime/zelk_strings.h). Texts and buffers handed out come from the crypto
// library's allocator and are freed by the caller with sec_free; output
// parameters are overwritten without being freed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "qevcrypto.h"

constexpr const char* ZELK_STRING_MODULE = "zelkstring";
constexpr const char* ZELK_STRING_API = "String.1";
constexpr const char* ZELK_STRINGW_API = "StringW.1";
constexpr const char* ZELK_MULTISTRING_API = "MultiString.1";
constexpr const char* ZELK_MULTISTRINGW_API = "MultiStringW.1";

// Position answers: an index, or this value when nothing was found.
constexpr uint32_t ZELK_STRING_NOTFOUND = 0xFFFFFFFFu;
// Answer of URLEncode when its output buffer was not obtained.
constexpr HRESULT ZELK_E_URLENCODE_NOMEM = ZELK_RC(0xA7F0000D);

// "String.1"; slot numbers in the comments.
struct STRING_FUNCTION_TABLE : API_COMMON {
    char** (*SetNULL)(char** p);                                                                   // 1
    size_t (*Length)(const char* t);                                                               // 2
    HRESULT (*Copy)(const char* t, char** out);                                                    // 3
    HRESULT (*CopyN)(const char* t, size_t n, char** out);                                         // 4
    int32_t (*Compare)(const char* a, const char* b);                                              // 5
    int32_t (*NCompare)(const char* a, const char* b, int n);                                      // 6
    int32_t (*CompareNoCase)(const char* a, const char* b);                                        // 7
    int32_t (*NCompareNoCase)(const char* a, const char* b, int n);                                // 8
    bool (*IsEmpty)(const char* t);                                                                // 9
    bool (*IsSpace)(const char* t);                                                                // 10
    bool (*NIsSpace)(const char* t, size_t n);                                                     // 11
    uint32_t (*Find)(const char* t, size_t start, const char* needle);                             // 12
    uint32_t (*Replace)(const char* t, const char* from, const char* to, char** out);              // 13
    uint32_t (*FindOneOf)(const char* t, const char* set);                                         // 14
    uint32_t (*ReverseFind)(const char* t, char c);                                                // 15
    bool (*StartsWith)(const char* t, const char* prefix);                                         // 16
    bool (*StartsWithNoCase)(const char* t, const char* prefix);                                   // 17
    const char* (*ExtractToken)(const char* t, const char* delim, char** out);                     // 18
    const char* (*ExtractTokens)(const char* t, const char** delims, unsigned count, char** out);  // 19
    void (*ExtractTokenByIdx)(const char* t, unsigned index, char** out);                          // 20
    HRESULT (*Chop)(char* t);                                                                      // 21
    void (*Burn)(char* t);                                                                         // 22
    HRESULT (*Mid)(const char* t, int start, size_t n, char** out);                                // 23
    HRESULT (*Left)(const char* t, size_t n, char** out);                                          // 24
    HRESULT (*Right)(const char* t, size_t n, char** out);                                         // 25
    void (*FormatV)(const char* format, va_list args, char** out);                                 // 26
    char* (*Append)(char* t, const char* add);                                                     // 27
    bool (*EndsWith)(const char* t, const char* suffix);                                           // 28
    HRESULT (*MakeUpper)(const char* t, char** out);                                               // 29
    HRESULT (*MakeLower)(const char* t, char** out);                                               // 30
    char* (*MakeCannon)(const char* t, char** out);                                                // 31
    size_t (*Delete)(const char* t, char** out, size_t start, size_t n);                           // 32
    HRESULT (*IntToString)(unsigned long value, char** out);                                       // 33
    int64_t (*StringToInt)(const char* t);                                                         // 34
    bool (*Is8Bit)(const char* t);                                                                 // 35
    uint32_t (*MatchQuality)(const char* t, const char* pattern);                                  // 36
    bool (*Match)(const char* t, const char* pattern, signed char noCase, char wildcard);          // 37
    HRESULT (*RemoveQuote)(char* t);                                                               // 38
    void (*Convert)(const char* t, wchar_t** out, unsigned codePage);                              // 39
    char* (*AppendConvert)(char* t, const wchar_t* add, unsigned codePage);                        // 40
    HRESULT (*Base64Encode)(OctetString* data, char** out);                                        // 41
    HRESULT (*Base64Decode)(const char* t, OctetString** out);                                     // 42
    HRESULT (*HexEncode)(OctetString* data, char** out);                                           // 43
    HRESULT (*HexDecode)(const char* t, OctetString** out);                                        // 44
    void (*OctetString2String)(const OctetString* data, char** out);                               // 45
    HRESULT (*String2OctetString)(const char* t, OctetString** out);                               // 46
    HRESULT (*URLEncode)(const char* t, char** out);                                               // 47
    HRESULT (*URLDecode)(const char* t, char** out);                                               // 48
};

static_assert(sizeof(STRING_FUNCTION_TABLE) == 49 * sizeof(void*), "String.1 has 49 slots");

// "StringW.1": the twin of "String.1" over wide texts; slots 39, 40 and 45 to
// 48 differ in their argument types as shown.
struct STRINGW_FUNCTION_TABLE : API_COMMON {
    wchar_t** (*SetNULL)(wchar_t** p);                                                                         // 1
    size_t (*Length)(const wchar_t* t);                                                                        // 2
    HRESULT (*Copy)(const wchar_t* t, wchar_t** out);                                                          // 3
    HRESULT (*CopyN)(const wchar_t* t, size_t n, wchar_t** out);                                               // 4
    int32_t (*Compare)(const wchar_t* a, const wchar_t* b);                                                    // 5
    int32_t (*NCompare)(const wchar_t* a, const wchar_t* b, int n);                                            // 6
    int32_t (*CompareNoCase)(const wchar_t* a, const wchar_t* b);                                              // 7
    int32_t (*NCompareNoCase)(const wchar_t* a, const wchar_t* b, int n);                                      // 8
    bool (*IsEmpty)(const wchar_t* t);                                                                         // 9
    bool (*IsSpace)(const wchar_t* t);                                                                         // 10
    bool (*NIsSpace)(const wchar_t* t, size_t n);                                                              // 11
    uint32_t (*Find)(const wchar_t* t, size_t start, const wchar_t* needle);                                   // 12
    uint32_t (*Replace)(const wchar_t* t, const wchar_t* from, const wchar_t* to, wchar_t** out);              // 13
    uint32_t (*FindOneOf)(const wchar_t* t, const wchar_t* set);                                               // 14
    uint32_t (*ReverseFind)(const wchar_t* t, wchar_t c);                                                      // 15
    bool (*StartsWith)(const wchar_t* t, const wchar_t* prefix);                                               // 16
    bool (*StartsWithNoCase)(const wchar_t* t, const wchar_t* prefix);                                         // 17
    const wchar_t* (*ExtractToken)(const wchar_t* t, const wchar_t* delim, wchar_t** out);                     // 18
    const wchar_t* (*ExtractTokens)(const wchar_t* t, const wchar_t** delims, unsigned count, wchar_t** out);  // 19
    void (*ExtractTokenByIdx)(const wchar_t* t, unsigned index, wchar_t** out);                                // 20
    HRESULT (*Chop)(wchar_t* t);                                                                               // 21
    void (*Burn)(wchar_t* t);                                                                                  // 22
    HRESULT (*Mid)(const wchar_t* t, int start, size_t n, wchar_t** out);                                      // 23
    HRESULT (*Left)(const wchar_t* t, size_t n, wchar_t** out);                                                // 24
    HRESULT (*Right)(const wchar_t* t, size_t n, wchar_t** out);                                               // 25
    void (*FormatV)(const wchar_t* format, va_list args, wchar_t** out);                                       // 26
    wchar_t* (*Append)(wchar_t* t, const wchar_t* add);                                                        // 27
    bool (*EndsWith)(const wchar_t* t, const wchar_t* suffix);                                                 // 28
    HRESULT (*MakeUpper)(const wchar_t* t, wchar_t** out);                                                     // 29
    HRESULT (*MakeLower)(const wchar_t* t, wchar_t** out);                                                     // 30
    wchar_t* (*MakeCannon)(const wchar_t* t, wchar_t** out);                                                   // 31
    size_t (*Delete)(const wchar_t* t, wchar_t** out, size_t start, size_t n);                                 // 32
    HRESULT (*IntToString)(unsigned long value, wchar_t** out);                                                // 33
    int64_t (*StringToInt)(const wchar_t* t);                                                                  // 34
    bool (*Is8Bit)(const wchar_t* t);                                                                          // 35
    uint32_t (*MatchQuality)(const wchar_t* t, const wchar_t* pattern);                                        // 36
    bool (*Match)(const wchar_t* t, const wchar_t* pattern, signed char noCase, wchar_t wildcard);             // 37
    HRESULT (*RemoveQuote)(wchar_t* t);                                                                        // 38
    void (*Convert)(const wchar_t* t, char** out, unsigned codePage);                                          // 39
    wchar_t* (*AppendConvert)(wchar_t* t, const char* add, unsigned codePage);                                 // 40
    HRESULT (*Base64Encode)(OctetString* data, wchar_t** out);                                                 // 41
    HRESULT (*Base64Decode)(const wchar_t* t, OctetString** out);                                              // 42
    HRESULT (*HexEncode)(OctetString* data, wchar_t** out);                                                    // 43
    HRESULT (*HexDecode)(const wchar_t* t, OctetString** out);                                                 // 44
    void (*OctetString2String)(const OctetString* data, wchar_t** out);                                        // 45
    HRESULT (*String2OctetString)(const wchar_t* t, OctetString** out);                                        // 46
    HRESULT (*URLEncode)(const wchar_t* t, char** out);                                                        // 47
    HRESULT (*URLDecode)(const wchar_t* t, wchar_t** out);                                                     // 48
};

static_assert(sizeof(STRINGW_FUNCTION_TABLE) == 49 * sizeof(void*), "StringW.1 has 49 slots");

// "MultiString.1": a list is its entries, each followed by a NUL, ended by an
// empty entry (so two NULs close it); NULL reads as a list without entries.
struct MULTISTRING_FUNCTION_TABLE : API_COMMON {
    HRESULT (*MakeMultiString)(const char* t, char** out, const char* separators);  // 1
    HRESULT (*Copy)(const char* list, char** out);                                  // 2
    size_t (*GetLength)(const char* list);                                          // 3
    HRESULT (*Create)(const char* t, char** out);                                   // 4
    size_t (*GetCount)(const char* list);                                           // 5
    int32_t (*Find)(const char* list, const char* t);                               // 6
    int32_t (*FindNoCase)(const char* list, const char* t);                         // 7
    const char* (*Get)(const char* list, size_t index);                             // 8
    HRESULT (*Add)(const char* list, const char* t, char** out);                    // 9
    HRESULT (*Insert)(const char* list, const char* t, char** out);                 // 10
    size_t (*GetCountEx)(const char* list, const char* end);                        // 11
};

static_assert(sizeof(MULTISTRING_FUNCTION_TABLE) == 12 * sizeof(void*), "MultiString.1 has 12 slots");

// "MultiStringW.1": the same over wide texts.
struct MULTISTRINGW_FUNCTION_TABLE : API_COMMON {
    HRESULT (*MakeMultiString)(const wchar_t* t, wchar_t** out, const wchar_t* separators);  // 1
    HRESULT (*Copy)(const wchar_t* list, wchar_t** out);                                     // 2
    size_t (*GetLength)(const wchar_t* list);                                                // 3
    HRESULT (*Create)(const wchar_t* t, wchar_t** out);                                      // 4
    size_t (*GetCount)(const wchar_t* list);                                                 // 5
    int32_t (*Find)(const wchar_t* list, const wchar_t* t);                                  // 6
    int32_t (*FindNoCase)(const wchar_t* list, const wchar_t* t);                            // 7
    const wchar_t* (*Get)(const wchar_t* list, size_t index);                                // 8
    HRESULT (*Add)(const wchar_t* list, const wchar_t* t, wchar_t** out);                    // 9
    HRESULT (*Insert)(const wchar_t* list, const wchar_t* t, wchar_t** out);                 // 10
    size_t (*GetCountEx)(const wchar_t* list, const wchar_t* end);                           // 11
};

static_assert(sizeof(MULTISTRINGW_FUNCTION_TABLE) == 12 * sizeof(void*), "MultiStringW.1 has 12 slots");
