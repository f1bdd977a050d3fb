// The keyed table of module "zelkbase": table "zelk.misc.base.hashtable.1",
// the table interface and its helper interfaces.
#pragma once

#include "qevcrypto.h"
#include "zelk_common_fl.h"

constexpr const char* ZELKBASE_HASHTABLE_API = "zelk.misc.base.hashtable.1";

// Built-in helpers, usable as key and as value helper.
enum HashTableType : unsigned int {
    HASHTABLE_STRING = 1,     // NUL-terminated texts, copied
    HASHTABLE_DWORD_PTR = 2,  // pointer-sized integers
    HASHTABLE_IUNKNOWN = 4,   // interface pointers, one reference held
};

// Common type words: key helper in the low byte, value helper in the next.
constexpr unsigned int HASHTABLE_STRING_TO_STRING = HASHTABLE_STRING | (HASHTABLE_STRING << 8);
constexpr unsigned int HASHTABLE_STRING_TO_IUNKNOWN = HASHTABLE_STRING | (HASHTABLE_IUNKNOWN << 8);

// Value helper: the table's own copy (or reference) of a value, and its end.
class IHashTableHelper {
public:
    virtual HRESULT Cpy(void* in, void** out) = 0;
    virtual void Free(void* p) = 0;

protected:
    ~IHashTableHelper() = default;
};

// Key helper. Hash fills either a number (in the length field, data NULL) or
// hash bytes from the crypto library's allocator, which the table then owns.
class IHashTableHelperKey : public IHashTableHelper {
public:
    virtual int Cmp(void* a, void* b) = 0;
    virtual HRESULT Hash(void* key, OctetString* hash) = 0;

protected:
    ~IHashTableHelperKey() = default;
};

// A table. Not locked: one thread at a time, reference counting included.
class HashTable_void : public COMMON_FL_TEMPLATE<HashTable_void> {
public:
    // 0 added or replaced; 1 the key already holds exactly this value.
    virtual HRESULT Add(void* key, void* value) = 0;
    // 0 removed; 1 absent.
    virtual HRESULT Del(void* key) = 0;
    // 0 present; 1 absent.
    virtual HRESULT Contains(void* key) = 0;
    // 0 and the value helper's copy; 1 and NULL when absent.
    virtual HRESULT Get(void* key, void** value) = 0;
    // 0 and the stored key (owned by the table); 1 and NULL past the end.
    virtual HRESULT GetKey(unsigned long index, void** key) = 0;
    virtual void Clear() = 0;

protected:
    ~HashTable_void() = default;
};

extern "C" {

struct ZELKBASE_HASHTABLE_TABLE : API_COMMON {
    // 1: key helper = low byte of `type`, value helper = next byte; buckets 0: 31.
    HRESULT (*HashTable_CreateCommon)(HashTable_void** out, unsigned int type, unsigned long buckets);
    // 2: helpers given as objects, or as HashTableType codes below 0x10000.
    HRESULT(*HashTable_CreateCustom)
    (HashTable_void** out, unsigned long buckets, IHashTableHelperKey* key, IHashTableHelper* value);
};

}  // extern "C"
