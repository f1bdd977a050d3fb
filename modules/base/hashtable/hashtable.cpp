// Table "zelk.misc.base.hashtable.1": keyed tables with pluggable key and
// value helpers, and the three built-in helpers.
#include <cstring>
#include <new>
#include <utility>

#include "zelk_alloc.h"
#include "zelk_hashtable.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

constexpr unsigned long kDefaultBuckets = 31;

class StringHelper final : public IHashTableHelperKey {
public:
    HRESULT Cpy(void* in, void** out) override
    {
        *out = nullptr;
        if (in == nullptr)
            return S_OK;
        size_t n = std::strlen(static_cast<const char*>(in)) + 1;
        void* copy = sec_malloc(n);
        if (copy == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(copy, in, n);
        *out = copy;
        return S_OK;
    }
    void Free(void* p) override { sec_free(p); }
    int Cmp(void* a, void* b) override
    {
        if (a == nullptr || b == nullptr)
            return a == b ? 0 : a == nullptr ? -1 : 1;
        return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    }
    HRESULT Hash(void* key, OctetString* hash) override
    {
        uint64_t h = 0;
        if (key != nullptr)
            for (const unsigned char* p = static_cast<const unsigned char*>(key); *p; ++p)
                h = ((h << 4) | (h >> 28)) ^ *p;
        hash->length = h;
        hash->data = nullptr;
        return S_OK;
    }
};

class DwordPtrHelper final : public IHashTableHelperKey {
public:
    HRESULT Cpy(void* in, void** out) override
    {
        *out = in;
        return S_OK;
    }
    void Free(void*) override {}
    int Cmp(void* a, void* b) override
    {
        auto x = reinterpret_cast<uintptr_t>(a);
        auto y = reinterpret_cast<uintptr_t>(b);
        return x == y ? 0 : x < y ? -1 : 1;
    }
    HRESULT Hash(void* key, OctetString* hash) override
    {
        hash->length = reinterpret_cast<uintptr_t>(key);
        hash->data = nullptr;
        return S_OK;
    }
};

class IUnknownHelper final : public IHashTableHelperKey {
public:
    HRESULT Cpy(void* in, void** out) override
    {
        *out = in;
        if (in != nullptr)
            static_cast<IUnknown*>(in)->AddRef();
        return S_OK;
    }
    void Free(void* p) override
    {
        if (p != nullptr)
            static_cast<IUnknown*>(p)->Release();
    }
    int Cmp(void* a, void* b) override
    {
        if (a == nullptr || b == nullptr)
            return a == b ? 0 : a == nullptr ? -1 : 1;
        auto x = reinterpret_cast<uintptr_t>(Identity(a));
        auto y = reinterpret_cast<uintptr_t>(Identity(b));
        return x == y ? 0 : x < y ? -1 : 1;
    }
    HRESULT Hash(void* key, OctetString* hash) override
    {
        hash->length = key == nullptr ? 0 : reinterpret_cast<uintptr_t>(Identity(key));
        hash->data = nullptr;
        return S_OK;
    }

private:
    // The object's IUnknown, released again at once: only its address counts.
    static void* Identity(void* p)
    {
        void* id = nullptr;
        if (FAILED(static_cast<IUnknown*>(p)->QueryInterface(IID_IUnknown, &id)) || id == nullptr)
            return p;
        static_cast<IUnknown*>(id)->Release();
        return id;
    }
};

StringHelper s_string;
DwordPtrHelper s_dwordPtr;
IUnknownHelper s_iunknown;

IHashTableHelperKey* BuiltIn(uintptr_t code)
{
    switch (code) {
    case HASHTABLE_STRING:
        return &s_string;
    case HASHTABLE_DWORD_PTR:
        return &s_dwordPtr;
    case HASHTABLE_IUNKNOWN:
        return &s_iunknown;
    default:
        return nullptr;
    }
}

class HashTable_Impl final : public HashTable_void {
public:
    HashTable_Impl(IHashTableHelperKey* key, IHashTableHelper* value, unsigned long buckets)
        : m_key(key), m_value(value), m_count(buckets == 0 ? kDefaultBuckets : buckets)
    {
        m_width = m_count <= 0xFF ? 1 : m_count <= 0xFFFF ? 2 : m_count <= 0xFFFFFF ? 3 : 4;
    }

    // The bucket array; false when it cannot be allocated.
    bool Init()
    {
        m_buckets = static_cast<Bag**>(sec_calloc(m_count, sizeof(Bag*)));
        return m_buckets != nullptr;
    }

    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!(iid == IID_IUnknown))
            return E_NOINTERFACE;
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    long AddRef() override { return static_cast<long>(++m_refs); }
    long Release() override
    {
        long n = static_cast<long>(--m_refs);
        if (n == 0) {
            Clear();
            sec_free(m_buckets);
            delete this;
        }
        return n;
    }
    const char* getType() override { return "HashTable"; }
    HRESULT cpy(HashTable_void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        AddRef();
        *out = this;
        return S_OK;
    }
    int cmp(const HashTable_void*) override { return 0; }
    HRESULT print(char** out, const char*, PRINT_CTX*) override
    {
        if (out != nullptr)
            *out = nullptr;
        return S_OK;
    }

    HRESULT Add(void* key, void* value) override
    {
        Probe probe;
        HRESULT hr = m_key->Hash(key, &probe.hash);
        if (FAILED(hr))
            return hr;
        Bag** head = &m_buckets[Bucket(probe.hash)];
        if (Bag* bag = Find(*head, key, probe.hash)) {
            if (bag->value == value)
                return S_FALSE;
            if (bag->value != nullptr)
                m_value->Free(bag->value);
            bag->value = nullptr;
            m_value->Cpy(value, &bag->value);
            return S_OK;
        }
        Bag* bag = static_cast<Bag*>(sec_calloc(1, sizeof(Bag)));
        if (bag == nullptr)
            return E_OUTOFMEMORY;
        bag->hash = std::exchange(probe.hash, OctetString {});
        m_key->Cpy(key, &bag->key);
        m_value->Cpy(value, &bag->value);
        bag->next = *head;
        *head = bag;
        return S_OK;
    }

    HRESULT Del(void* key) override
    {
        Probe probe;
        HRESULT hr = m_key->Hash(key, &probe.hash);
        if (FAILED(hr))
            return hr;
        for (Bag** link = &m_buckets[Bucket(probe.hash)]; *link; link = &(*link)->next) {
            if (Matches(*link, key, probe.hash)) {
                Bag* bag = *link;
                *link = bag->next;
                FreeBag(bag);
                return S_OK;
            }
        }
        return S_FALSE;
    }

    HRESULT Contains(void* key) override
    {
        Probe probe;
        HRESULT hr = m_key->Hash(key, &probe.hash);
        if (FAILED(hr))
            return hr;
        return Find(m_buckets[Bucket(probe.hash)], key, probe.hash) != nullptr ? S_OK : S_FALSE;
    }

    HRESULT Get(void* key, void** value) override
    {
        if (value == nullptr)
            return E_POINTER;
        *value = nullptr;
        Probe probe;
        HRESULT hr = m_key->Hash(key, &probe.hash);
        if (FAILED(hr))
            return hr;
        Bag* bag = Find(m_buckets[Bucket(probe.hash)], key, probe.hash);
        if (bag == nullptr)
            return S_FALSE;
        m_value->Cpy(bag->value, value);
        return S_OK;
    }

    HRESULT GetKey(unsigned long index, void** key) override
    {
        if (key == nullptr)
            return E_POINTER;
        *key = nullptr;
        unsigned long n = 0;
        for (unsigned long b = 0; b < m_count; ++b) {
            for (Bag* bag = m_buckets[b]; bag; bag = bag->next) {
                if (n++ == index) {
                    *key = bag->key;
                    return S_OK;
                }
            }
        }
        return S_FALSE;
    }

    void Clear() override
    {
        for (unsigned long b = 0; b < m_count; ++b) {
            while (Bag* bag = m_buckets[b]) {
                m_buckets[b] = bag->next;
                FreeBag(bag);
            }
        }
    }

private:
    // The hash of a probe key; its hash bytes, if any, end with the look-up
    // unless a new entry takes them over.
    struct Probe {
        Probe() = default;
        Probe(const Probe&) = delete;
        Probe& operator=(const Probe&) = delete;
        ~Probe() { sec_free(hash.data); }

        OctetString hash {};
    };

    struct Bag {
        Bag* next;
        void* key;
        void* value;
        OctetString hash;
    };

    ~HashTable_Impl() = default;

    unsigned long Bucket(const OctetString& hash) const
    {
        if (hash.data == nullptr)
            return static_cast<unsigned long>(hash.length % m_count);
        uint64_t sum = 0;
        for (uint64_t i = 0; i < hash.length; ++i) {
            int32_t term = static_cast<int32_t>(static_cast<uint32_t>(hash.data[i]) << (8 * (i % m_width)));
            sum += static_cast<uint64_t>(static_cast<int64_t>(term));
        }
        return static_cast<unsigned long>(sum % m_count);
    }

    bool Matches(Bag* bag, void* key, const OctetString& hash)
    {
        if (bag->hash.length != hash.length || (bag->hash.data == nullptr) != (hash.data == nullptr))
            return false;
        if (hash.data != nullptr && std::memcmp(bag->hash.data, hash.data, hash.length) != 0)
            return false;
        return m_key->Cmp(key, bag->key) == 0;
    }

    Bag* Find(Bag* bag, void* key, const OctetString& hash)
    {
        for (; bag; bag = bag->next)
            if (Matches(bag, key, hash))
                return bag;
        return nullptr;
    }

    void FreeBag(Bag* bag)
    {
        if (bag->key != nullptr)
            m_key->Free(bag->key);
        if (bag->value != nullptr)
            m_value->Free(bag->value);
        sec_free(bag->hash.data);
        sec_free(bag);
    }

    int64_t m_refs = 1;
    IHashTableHelperKey* m_key;
    IHashTableHelper* m_value;
    Bag** m_buckets = nullptr;
    unsigned long m_count;
    unsigned int m_width = 1;
};

HRESULT Create(HashTable_void** out, unsigned long buckets, IHashTableHelperKey* key, IHashTableHelper* value)
{
    auto* table = new (std::nothrow) HashTable_Impl(key, value, buckets);
    if (table == nullptr)
        return E_OUTOFMEMORY;
    if (!table->Init()) {
        table->Release();
        return E_OUTOFMEMORY;
    }
    *out = table;
    return S_OK;
}

HRESULT HashTable_CreateCommon(HashTable_void** out, unsigned int type, unsigned long buckets)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (type >= 0x10000)
        return E_INVALIDARG;
    IHashTableHelperKey* key = BuiltIn(type & 0xFF);
    IHashTableHelperKey* value = BuiltIn((type >> 8) & 0xFF);
    if (key == nullptr || value == nullptr)
        return E_INVALIDARG;
    return Create(out, buckets, key, value);
}

HRESULT HashTable_CreateCustom(HashTable_void** out, unsigned long buckets, IHashTableHelperKey* key,
                               IHashTableHelper* value)
{
    if (out == nullptr)
        return E_POINTER;
    if (reinterpret_cast<uintptr_t>(key) < 0x10000)
        key = BuiltIn(reinterpret_cast<uintptr_t>(key));
    if (reinterpret_cast<uintptr_t>(value) < 0x10000)
        value = BuiltIn(reinterpret_cast<uintptr_t>(value));
    if (key == nullptr || value == nullptr)
        return E_INVALIDARG;
    return Create(out, buckets, key, value);
}

HRESULT ZELKBASE_HASHTABLE_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELKBASE_HASHTABLE_API;
    if (module)
        *module = "zelkbase";
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_HASHTABLE_TABLE s_table = {{ZELKBASE_HASHTABLE_get_info}, HashTable_CreateCommon, HashTable_CreateCustom};
CZELK_API s_register("zelkbase", ZELKBASE_HASHTABLE_API, &s_table);

}  // namespace
}  // namespace kestrin::base
