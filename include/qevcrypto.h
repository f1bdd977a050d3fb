// The crypto library's interface as every deliverable and the library itself
// use it: the process-wide function list, the function tables handed between
// modules, the per-type tables of "SEC_COMMONTYPES_1", the attribute chain and
// the trace sink "SEC_NOTIFY_1". The library and the modules share these
// declarations; neither side keeps a copy.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

#define QEV_EXPORT __attribute__((visibility("default")))

extern "C" {

// ---------------------------------------------------------------------------
// Function tables

// Slot 0 of every table: fills each out-argument that is not NULL, returns 0.
typedef HRESULT (*API_INFO_FN)(const char** table, const char** module, const char** description);

// A function table handed between modules. Tables with further slots derive
// from it and keep their slots in the order their owner fixes; a bound
// `API_COMMON*` is turned into the owner's type with `ZELK_ApiCast`.
struct API_COMMON {
    API_INFO_FN get_info;
};

// ---------------------------------------------------------------------------
// Function list (cryptolib_get_f_list)

struct SEC_FUNCTION_LIST;

typedef HRESULT (*SEC_FL_RELEASE_FN)(SEC_FUNCTION_LIST* list);
// module NULL: a table of the crypto library itself; a module name: the
// library loads "lib" + module + ".so" once, runs its module_init and asks its
// getter with these three arguments.
typedef HRESULT (*SEC_FL_GETAPI_FN)(const char* module, const char* api, API_COMMON** var);
// Takes the address of the table variable, also when the variable holds NULL.
typedef HRESULT (*SEC_FL_RELEASEAPI_FN)(API_COMMON** var);
typedef void* (*SEC_FL_MALLOC_FN)(size_t size);
typedef void* (*SEC_FL_CALLOC_FN)(size_t count, size_t size);
typedef void* (*SEC_FL_REALLOC_FN)(void* pointer, size_t size);
typedef void (*SEC_FL_FREE_FN)(void* pointer);

struct SEC_FUNCTION_LIST {
    SEC_FL_RELEASE_FN release;         // 0
    void* unused1;                     // 1
    SEC_FL_GETAPI_FN get_api;          // 2
    SEC_FL_RELEASEAPI_FN release_api;  // 3
    void* unused4;                     // 4
    void* unused5;                     // 5
    SEC_FL_MALLOC_FN malloc;           // 6
    SEC_FL_CALLOC_FN calloc;           // 7
    SEC_FL_REALLOC_FN realloc;         // 8
    SEC_FL_FREE_FN free;               // 9
};

// The crypto library's export. Callers pass (0, 0, &list, 0, "", 0) and rely
// only on the filled list pointer.
typedef HRESULT (*CRYPTOLIB_GET_F_LIST_FN)(unsigned int version, void* reserved1, SEC_FUNCTION_LIST** list,
                                           void* reserved2, const char* profile, unsigned int flags);
QEV_EXPORT HRESULT cryptolib_get_f_list(unsigned int version, void* reserved1, SEC_FUNCTION_LIST** list,
                                        void* reserved2, const char* profile, unsigned int flags);

// The getter a module hands out through module_init.
typedef HRESULT (*MODULE_GET_API_FN)(const char* module, const char* api, API_COMMON** out);
// module_init(list, &getter, reserved, reserved): every module's one export.
typedef HRESULT (*MODULE_INIT_FN)(SEC_FUNCTION_LIST* list, MODULE_GET_API_FN* getter, void* reserved1, void* reserved2);

// ---------------------------------------------------------------------------
// Trace sink "SEC_NOTIFY_1" and the trace exports

struct SEC_NOTIFY_TABLE : API_COMMON {
    // 1: one line, printf style; level 0 to 15; the third argument is NULL.
    HRESULT (*write)(unsigned int level, const char* module, void* reserved, const char* format, ...);
    // 2: the same with an argument list.
    HRESULT (*write_v)(unsigned int level, const char* module, void* reserved, const char* format, va_list args);
    // 3: the level in force for a module (NULL: the default); callers compare unsigned.
    unsigned int (*level)(const char* module, unsigned int level);
};

// Receives every line the sink writes (level, module, NULL, text) while registered.
typedef int (*QEV_TRACE_CALLBACK)(int level, const char* module, const char* reserved, const char* text);
typedef HRESULT (*QEV_REGISTER_TRACE_CALLBACK_FN)(int reserved, QEV_TRACE_CALLBACK callback);
typedef HRESULT (*QEV_SET_TRACE_LEVEL_FN)(int level);
QEV_EXPORT HRESULT Qevcryptolib_RegisterTraceCallback(int reserved, QEV_TRACE_CALLBACK callback);
QEV_EXPORT HRESULT Qevcryptolib_SetTraceLevel(int level);

// ---------------------------------------------------------------------------
// Values

// The library's byte string.
struct OctetString {
    uint64_t length;
    unsigned char* data;
};

// The library's string list: singly linked nodes (string, next); empty = NULL.
struct SET_OF_String {
    char* element;
    SET_OF_String* next;
};

struct SEC_TYPE_TABLE;

// The attribute chain of PSE, ASC and control calls. Records start zeroed.
struct SECAttribute {
    uint32_t id;
    void* value;
    uint8_t reserved;            // only ever zeroed
    uint8_t answered;            // set by whoever served or consumed the attribute
    uint8_t owned;               // the holder frees the value
    const SEC_TYPE_TABLE* type;  // the value's type table, NULL allowed
    SECAttribute* next;
};

// The function table of one value type: slot k of "SEC_COMMONTYPES_1".
// Counted types (PersonalCertificateInfo, SET_OF_Certificate, SET_OF_DName,
// SET_OF_String) take references with entry 1 and free at the last entry 2;
// their values and nodes come only from entries 4, 7 and 8. Entries 8 and 9
// read and write the type's DER; a NULL value encodes as no bytes (0 and
// *der NULL), and a list decodes no bytes as the empty list (NULL).
struct SEC_TYPE_TABLE : API_COMMON {
    HRESULT (*add_ref)(void* value);               // 1
    HRESULT (*free)(void* value);                  // 2
    void* reserved3;                               // 3
    HRESULT (*copy)(const void* src, void** dst);  // 4
    int (*compare)(const void* a, const void* b);  // 5: 0 when equal
    void* reserved6;                               // 6
    // 7, list types: *cursor receives a new zeroed node whose next is the old *cursor.
    HRESULT (*new_node)(void** cursor);
    HRESULT (*decode)(const OctetString* der, void** out);    // 8
    HRESULT (*encode)(const void* value, OctetString** der);  // 9
};

// Type indexes in "SEC_COMMONTYPES_1" (the PKCS#12 ones index the PKCS#12 type table).
enum SEC_TYPE_INDEX : unsigned int {
    SEC_TYPE_P12_Safe = 3,
    SEC_TYPE_AlgId = 5,
    SEC_TYPE_SET_OF_P12_Bag = 10,
    SEC_TYPE_P12_Bag = 11,
    SEC_TYPE_DName = 23,
    SEC_TYPE_SEQUENCE_OF_GeneralName = 32,
    SEC_TYPE_int = 35,
    SEC_TYPE_IssuerAndSerial = 36,
    SEC_TYPE_KeyInfo = 39,
    SEC_TYPE_ObjId = 45,
    SEC_TYPE_OctetString = 46,
    SEC_TYPE_PersonalCertificateInfo = 52,
    SEC_TYPE_SEQUENCE_OF_AlgId = 65,
    SEC_TYPE_SEQUENCE_OF_Certificate = 68,
    SEC_TYPE_SET_OF_Attr = 76,
    SEC_TYPE_SET_OF_Certificate = 79,
    SEC_TYPE_SET_OF_DName = 80,
    SEC_TYPE_SET_OF_PIN_Info = 83,
    SEC_TYPE_SET_OF_PersonalCertificateInfo = 84,
    SEC_TYPE_Certificate = 98,
    SEC_TYPE_KeyPair = 101,
    SEC_TYPE_SECAttribute = 107,
    SEC_TYPE_SET_OF_String = 110,
    SEC_TYPE_SET_OF_SecSlotInfo = 119,
};

// The string type (NUL-terminated char*) has no fixed index among the
// system's; this library keeps its table here.
constexpr unsigned int SEC_TYPE_String = 109;

}  // extern "C"

// "SEC_COMMONTYPES_1" (and the PKCS#12 type table): slot k (k >= 1) holds the
// type table of type index k. NULL when the table is unbound.
inline const SEC_TYPE_TABLE* SEC_TypeTable(const API_COMMON* commonTypes, unsigned int index)
{
    if (commonTypes == nullptr || index == 0)
        return nullptr;
    // The table is a row of pointer-sized slots; slot 0 is the info function.
    return reinterpret_cast<const SEC_TYPE_TABLE* const*>(commonTypes)[index];
}

// A bound table as the type its owner declares (which derives from API_COMMON).
template <class T>
inline T* ZELK_ApiCast(API_COMMON* table)
{
    return static_cast<T*>(table);
}
template <class T>
inline const T* ZELK_ApiCast(const API_COMMON* table)
{
    return static_cast<const T*>(table);
}
