// Table "zelk.misc.base.hashtable.1" bound from module "zelkbase".
#include <gtest/gtest.h>

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_hashtable.h"
#include "zelk_module.h"

namespace {

API_COMMON* HASHTABLE_TABLE = nullptr;
CLoadAPI dynload_zelk_hashtable("zelkbase", ZELKBASE_HASHTABLE_API, &HASHTABLE_TABLE);

// A counted object standing in for any interface value.
class Counted final : public IUnknown {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        *out = nullptr;
        if (!(iid == IID_IUnknown))
            return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    long AddRef() override { return ++refs; }
    long Release() override { return --refs; }
    long refs = 1;
};

class HashTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ZELK_Initialize());
        api = ZELK_ApiCast<ZELKBASE_HASHTABLE_TABLE>(HASHTABLE_TABLE);
        ASSERT_NE(api, nullptr);
    }
    void TearDown() override { EXPECT_EQ(S_OK, ZELK_Finalize()); }

    HashTable_void* texts(unsigned long buckets = 0)
    {
        HashTable_void* t = nullptr;
        EXPECT_EQ(S_OK, api->HashTable_CreateCommon(&t, HASHTABLE_STRING_TO_STRING, buckets));
        return t;
    }

    std::string get(HashTable_void* t, const char* key)
    {
        void* v = nullptr;
        if (t->Get(const_cast<char*>(key), &v) != S_OK)
            return "<absent>";
        std::string s = static_cast<char*>(v);
        sec_free(v);
        return s;
    }

    ZELKBASE_HASHTABLE_TABLE* api = nullptr;
};

TEST_F(HashTable, AddReplaceSameValueAndDelete)
{
    HashTable_void* t = texts();
    char a[] = "a";
    char one[] = "1";
    char two[] = "2";
    EXPECT_EQ(S_OK, t->Add(a, one));
    EXPECT_EQ(S_OK, t->Add(a, one));  // the stored value is a copy, so this pointer is a new value
    void* stored = nullptr;
    ASSERT_EQ(S_OK, t->GetKey(0, &stored));
    EXPECT_STREQ("a", static_cast<char*>(stored));
    EXPECT_EQ(S_OK, t->Add(a, two));
    EXPECT_EQ("2", get(t, "a"));
    void* again = nullptr;
    ASSERT_EQ(S_OK, t->GetKey(0, &again));
    EXPECT_EQ(stored, again);  // the first key copy stays
    EXPECT_EQ(S_FALSE, t->GetKey(1, &again));
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(S_OK, t->Contains(a));
    EXPECT_EQ(S_OK, t->Del(a));
    EXPECT_EQ(S_FALSE, t->Del(a));
    EXPECT_EQ(S_FALSE, t->Contains(a));
    EXPECT_EQ("<absent>", get(t, "a"));
    EXPECT_EQ(E_POINTER, t->Get(a, nullptr));
    EXPECT_EQ(E_POINTER, t->GetKey(0, nullptr));
    EXPECT_EQ(0, t->Release());
}

TEST_F(HashTable, SameIntegerValueAgainChangesNothing)
{
    HashTable_void* t = nullptr;
    ASSERT_EQ(S_OK, api->HashTable_CreateCommon(&t, HASHTABLE_STRING | (HASHTABLE_DWORD_PTR << 8), 0));
    char a[] = "a";
    EXPECT_EQ(S_OK, t->Add(a, reinterpret_cast<void*>(7)));
    EXPECT_EQ(S_FALSE, t->Add(a, reinterpret_cast<void*>(7)));
    EXPECT_EQ(S_OK, t->Add(a, reinterpret_cast<void*>(8)));
    void* v = nullptr;
    ASSERT_EQ(S_OK, t->Get(a, &v));
    EXPECT_EQ(reinterpret_cast<void*>(8), v);
    void* key = nullptr;
    EXPECT_EQ(S_FALSE, t->GetKey(1, &key));
    t->Release();
}

TEST_F(HashTable, CollidingAndEmptyKeysStayApart)
{
    HashTable_void* t = texts();
    char ba[] = "ba", cq[] = "cq", empty[] = "", v1[] = "x", v2[] = "y";
    EXPECT_EQ(S_OK, t->Add(ba, v1));
    EXPECT_EQ("<absent>", get(t, "cq"));  // same hash 1601, another key
    EXPECT_EQ(S_OK, t->Add(cq, v2));
    EXPECT_EQ("x", get(t, "ba"));
    EXPECT_EQ("y", get(t, "cq"));
    EXPECT_EQ(S_OK, t->Add(nullptr, v1));
    EXPECT_EQ(S_OK, t->Add(empty, v2));
    EXPECT_EQ("y", get(t, ""));
    void* v = nullptr;
    ASSERT_EQ(S_OK, t->Get(nullptr, &v));
    EXPECT_STREQ("x", static_cast<char*>(v));
    sec_free(v);
    t->Clear();
    EXPECT_EQ(S_FALSE, t->GetKey(0, &v));
    t->Release();
}

TEST_F(HashTable, CreationErrors)
{
    HashTable_void* t = reinterpret_cast<HashTable_void*>(this);
    EXPECT_EQ(E_INVALIDARG, api->HashTable_CreateCommon(&t, 0x10000, 0));
    EXPECT_EQ(nullptr, t);
    EXPECT_EQ(E_INVALIDARG, api->HashTable_CreateCommon(&t, 3, 0));
    EXPECT_EQ(E_POINTER, api->HashTable_CreateCommon(nullptr, 257, 0));
    EXPECT_EQ(E_INVALIDARG, api->HashTable_CreateCustom(&t, 0, reinterpret_cast<IHashTableHelperKey*>(3),
                                                        reinterpret_cast<IHashTableHelper*>(1)));
    ASSERT_EQ(S_OK, api->HashTable_CreateCustom(&t, 0, reinterpret_cast<IHashTableHelperKey*>(1),
                                                reinterpret_cast<IHashTableHelper*>(1)));
    char k[] = "k", v[] = "v";
    EXPECT_EQ(S_OK, t->Add(k, v));
    EXPECT_EQ("v", get(t, "k"));
    EXPECT_STREQ("HashTable", t->getType());
    t->Release();
}

TEST_F(HashTable, InterfaceValuesHoldAReferencePerKey)
{
    HashTable_void* t = nullptr;
    ASSERT_EQ(S_OK, api->HashTable_CreateCommon(&t, HASHTABLE_STRING_TO_IUNKNOWN, 6));
    Counted object;
    char k1[] = "one", k2[] = "two";
    EXPECT_EQ(S_OK, t->Add(k1, &object));
    EXPECT_EQ(S_OK, t->Add(k2, &object));
    EXPECT_EQ(3, object.refs);
    void* out = nullptr;
    ASSERT_EQ(S_OK, t->Get(k1, &out));
    EXPECT_EQ(&object, out);
    EXPECT_EQ(4, object.refs);
    object.Release();
    t->Clear();
    EXPECT_EQ(1, object.refs);
    t->Release();
}

TEST_F(HashTable, ManyKeysInFewAndManyBuckets)
{
    for (unsigned long buckets : {1ul, 300ul, 70000ul}) {
        HashTable_void* t = texts(buckets);
        std::vector<std::string> keys;
        for (int i = 0; i < 500; ++i)
            keys.push_back("key" + std::to_string(i));
        for (auto& k : keys)
            ASSERT_EQ(S_OK, t->Add(k.data(), k.data()));
        for (auto& k : keys)
            EXPECT_EQ(k, get(t, k.c_str()));
        void* key = nullptr;
        EXPECT_EQ(S_OK, t->GetKey(499, &key));
        EXPECT_EQ(S_FALSE, t->GetKey(500, &key));
        t->Release();
    }
}

// A key helper whose hash is the key's own bytes, handed to the table.
class ByteHashKeys final : public IHashTableHelperKey {
public:
    HRESULT Cpy(void* in, void** out) override
    {
        size_t n = std::strlen(static_cast<const char*>(in)) + 1;
        *out = sec_malloc(n);
        std::memcpy(*out, in, n);
        return S_OK;
    }
    void Free(void* p) override { sec_free(p); }
    int Cmp(void* a, void* b) override { return std::strcmp(static_cast<char*>(a), static_cast<char*>(b)); }
    HRESULT Hash(void* key, OctetString* hash) override
    {
        if (std::strcmp(static_cast<char*>(key), "refused") == 0)
            return E_FAIL;
        hash->length = std::strlen(static_cast<char*>(key));
        hash->data = static_cast<unsigned char*>(sec_malloc(hash->length));
        std::memcpy(hash->data, key, hash->length);
        return S_OK;
    }
};

// Hash bytes are weighted by 256 to the power of (position modulo the byte
// width), which the bucket count sets; GetKey walks the buckets in order, so
// the first key shows which bucket each one reached.
TEST_F(HashTable, HashBytesSpreadByTheWidthOfTheBucketCount)
{
    ByteHashKeys keys;
    struct Case {
        unsigned long buckets;
        const char* low;   // in the lower bucket at this width
        const char* high;  // in the lower bucket, were the width one less
    } cases[] = {
        {300, "d", "\x01\x01"},               // width 2: 100 < 257 (width 1 would give 2)
        {70000, "\x02\x02", "\x01\x01\x01"},  // width 3: 514 < 65793 (width 2 would give 258)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buckets);
        HashTable_void* t = nullptr;
        ASSERT_EQ(S_OK, api->HashTable_CreateCustom(&t, c.buckets, &keys, reinterpret_cast<IHashTableHelper*>(2)));
        EXPECT_EQ(S_OK, t->Add(const_cast<char*>(c.high), reinterpret_cast<void*>(1)));
        EXPECT_EQ(S_OK, t->Add(const_cast<char*>(c.low), reinterpret_cast<void*>(2)));
        EXPECT_EQ(S_FALSE, t->Add(const_cast<char*>(c.low), reinterpret_cast<void*>(2)));
        void* first = nullptr;
        ASSERT_EQ(S_OK, t->GetKey(0, &first));
        EXPECT_STREQ(c.low, static_cast<char*>(first));
        EXPECT_EQ(S_OK, t->Contains(const_cast<char*>(c.high)));
        EXPECT_EQ(E_FAIL, t->Add(const_cast<char*>("refused"), nullptr));
        EXPECT_EQ(E_FAIL, t->Contains(const_cast<char*>("refused")));
        EXPECT_EQ(S_OK, t->Del(const_cast<char*>(c.high)));
        EXPECT_EQ(S_FALSE, t->Del(const_cast<char*>(c.high)));
        t->Release();
    }
}

}  // namespace
