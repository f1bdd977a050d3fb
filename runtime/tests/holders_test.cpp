// Value holders: freeing and copying through the per-type tables, the
// out-parameter idiom, and references to counted objects.
#include <gtest/gtest.h>

#include <cstring>

#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_object.h"

namespace {

// ---- A stand-in for "SEC_COMMONTYPES_1" that counts what goes through it ----

struct CountingTypes {
    static inline int frees = 0;
    static inline int copies = 0;
    static inline const void* lastFreed = nullptr;

    static HRESULT Free(void* value)
    {
        ++frees;
        lastFreed = value;
        auto* s = static_cast<OctetString*>(value);
        sec_free(s->data);
        sec_free(s);
        return S_OK;
    }
    static HRESULT Copy(const void* src, void** dst)
    {
        ++copies;
        auto* from = static_cast<const OctetString*>(src);
        auto* to = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
        if (to == nullptr)
            return E_OUTOFMEMORY;
        to->data = static_cast<unsigned char*>(sec_malloc(from->length));
        if (to->data == nullptr) {
            sec_free(to);
            return E_OUTOFMEMORY;
        }
        std::memcpy(to->data, from->data, from->length);
        to->length = from->length;
        *dst = to;
        return S_OK;
    }
};

class HoldersTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }

    static OctetString* NewOctets(const char* text)
    {
        OctetString* s = nullptr;
        if (AuxMalloc(&s) == nullptr)
            return nullptr;
        s->length = std::strlen(text);
        s->data = static_cast<unsigned char*>(sec_malloc(s->length));
        std::memcpy(s->data, text, s->length);
        return s;
    }
};

// Points this deliverable's binding at a table whose OctetString entry counts.
class CountingHoldersTest : public HoldersTest {
protected:
    void SetUp() override
    {
        HoldersTest::SetUp();
        saved = fptr__common_types;
        table.types[SEC_TYPE_OctetString - 1] = &octetType;  // slot k is types[k - 1]
        fptr__common_types = reinterpret_cast<API_COMMON*>(&table);
        CountingTypes::frees = 0;
        CountingTypes::copies = 0;
    }
    void TearDown() override
    {
        fptr__common_types = saved;
        HoldersTest::TearDown();
    }

    struct {
        API_INFO_FN info = nullptr;
        const SEC_TYPE_TABLE* types[SEC_TYPE_SET_OF_SecSlotInfo + 1] = {};
    } table;
    SEC_TYPE_TABLE octetType = {
        {nullptr}, nullptr, &CountingTypes::Free, nullptr, &CountingTypes::Copy, nullptr, nullptr, nullptr,
        nullptr,   nullptr};
    API_COMMON* saved = nullptr;
};

TEST_F(HoldersTest, TypeTablesByValueType)
{
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    ASSERT_NE(octets, nullptr);
    OctetString* p = nullptr;
    const OctetString* cp = nullptr;
    EXPECT_EQ(AuxGetTypeAPI(p), octets);
    EXPECT_EQ(AuxGetTypeAPI(&p), octets);
    EXPECT_EQ(AuxGetTypeAPI(cp), octets);
    EXPECT_EQ(AuxGetTypeAPI(&cp), octets);
    SET_OF_String* list = nullptr;
    SECAttribute* attr = nullptr;
    char* text = nullptr;
    EXPECT_EQ(AuxGetTypeAPI(list), SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_String));
    EXPECT_EQ(AuxGetTypeAPI(&attr), SEC_TypeTable(fptr__common_types, SEC_TYPE_SECAttribute));
    EXPECT_EQ(AuxGetTypeAPI(text), SEC_TypeTable(fptr__common_types, SEC_TYPE_String));
    const char* name = nullptr;
    ASSERT_EQ(AuxGetTypeAPI(list)->get_info(&name, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, "SET_OF_String");
}

TEST_F(CountingHoldersTest, HolderFreesThroughTheTypeTable)
{
    OctetString* value = NewOctets("abc");
    {
        AuxPtr<OctetString> holder(value);
        EXPECT_FALSE(!holder);
        EXPECT_EQ(holder->length, 3u);
        EXPECT_TRUE(static_cast<const void*>(value) == holder);
        EXPECT_EQ(CountingTypes::frees, 0);
    }
    EXPECT_EQ(CountingTypes::frees, 1);
    EXPECT_EQ(CountingTypes::lastFreed, value);

    // The out-parameter idiom frees the old value before the callee writes.
    AuxPtr<OctetString> holder(NewOctets("old"));
    OctetString** slot = &holder;
    EXPECT_EQ(CountingTypes::frees, 2);
    EXPECT_EQ(*slot, nullptr);
    EXPECT_TRUE(nullptr == holder);
    *slot = NewOctets("new");

    // Attach and assignment free the previous value; the same value is kept.
    OctetString* same = holder;
    holder.Attach(same);
    EXPECT_EQ(CountingTypes::frees, 2);
    holder = NewOctets("newer");
    EXPECT_EQ(CountingTypes::frees, 3);

    // Detach hands the value over.
    OctetString* mine = holder.Detach();
    EXPECT_TRUE(!holder);
    holder.Free();
    EXPECT_EQ(CountingTypes::frees, 3);
    EXPECT_EQ(AuxFree(&mine), S_OK);
    EXPECT_EQ(mine, nullptr);
    EXPECT_EQ(CountingTypes::frees, 4);
    EXPECT_EQ(AuxFree(&mine), S_OK);
    EXPECT_EQ(CountingTypes::frees, 4);
    EXPECT_EQ(holder.GetAddr(), std::addressof(holder));
}

TEST_F(CountingHoldersTest, CopyThroughTheTypeTable)
{
    AuxPtr<OctetString> original(NewOctets("payload"));
    AuxPtr<OctetString> copy(AuxCpy(static_cast<const OctetString*>(original)));
    ASSERT_FALSE(!copy);
    EXPECT_EQ(CountingTypes::copies, 1);
    EXPECT_NE(copy->data, original->data);
    EXPECT_EQ(std::memcmp(copy->data, "payload", 7), 0);
    EXPECT_EQ(AuxCpy(static_cast<const OctetString*>(original), &copy), S_OK);
    EXPECT_EQ(CountingTypes::frees, 1);  // &copy freed the first copy
}

TEST_F(HoldersTest, WithoutTheTableNothingIsFreedOrCopied)
{
    API_COMMON* saved = fptr__common_types;
    fptr__common_types = nullptr;
    OctetString* value = NewOctets("x");
    OctetString* keep = value;
    EXPECT_EQ(AuxGetTypeAPI(value), nullptr);
    EXPECT_EQ(AuxFree(&value), E_FAIL);
    EXPECT_EQ(value, keep);
    OctetString* copy = value;
    EXPECT_EQ(AuxCpy(static_cast<const OctetString*>(value), &copy), E_FAIL);
    EXPECT_EQ(copy, nullptr);
    fptr__common_types = saved;
    EXPECT_EQ(AuxFree(&value), S_OK);
}

TEST_F(HoldersTest, LibraryValuesEndToEnd)
{
    // A list of strings built and freed by the library's own tables.
    AuxPtr<SET_OF_String> list;
    const SEC_TYPE_TABLE* setType = AuxGetTypeAPI(static_cast<SET_OF_String*>(list));
    ASSERT_NE(setType, nullptr);
    for (const char* s : {"b", "a"}) {
        void* cursor = static_cast<SET_OF_String*>(list);
        ASSERT_EQ(setType->new_node(&cursor), S_OK);
        list.Detach();
        list = static_cast<SET_OF_String*>(cursor);
        ASSERT_EQ(AuxCpy(s, &list->element), S_OK);
    }
    EXPECT_STREQ(list->element, "a");
    EXPECT_STREQ(list->next->element, "b");
    AuxPtr<SET_OF_String> copy(AuxCpy(static_cast<const SET_OF_String*>(list)));
    ASSERT_FALSE(!copy);
    EXPECT_EQ(setType->compare(list, copy), 0);

    // An attribute chain that owns an octet string.
    AuxPtr<SECAttribute> chain;
    ASSERT_NE(AuxMalloc(&chain), nullptr);
    EXPECT_EQ(chain->value, nullptr);
    chain->id = 0xFF000001;
    chain->value = NewOctets("443");
    chain->owned = 1;
    chain->type = AuxGetTypeAPI(static_cast<OctetString*>(nullptr));
    AuxPtr<SECAttribute> chainCopy(AuxCpy(static_cast<const SECAttribute*>(chain)));
    ASSERT_FALSE(!chainCopy);
    EXPECT_NE(chainCopy->value, chain->value);

    AuxPtr<char> text(AuxCpy("secret"));
    EXPECT_STREQ(text, "secret");
}

// ---- AuxRefPtr -------------------------------------------------------------

class ITestNode : public COMMON_FL_TEMPLATE<ITestNode> {
public:
    virtual ITestNode* Child() = 0;
    virtual void SetChild(ITestNode* child) = 0;
};
ZELK_DEFINE_GUID(IID_ITestNode, 0x5EC7C1A6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);

int s_nodesAlive = 0;

class CTestNode : public ITestNode, public CComObjectRoot {
public:
    CTestNode() { ++s_nodesAlive; }
    ~CTestNode() override { --s_nodesAlive; }
    const char* getType() override { return "TestNode"; }
    HRESULT cpy(ITestNode** out) override
    {
        AddRef();
        *out = this;
        return S_OK;
    }
    int cmp(const ITestNode* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    ITestNode* Child() override { return m_child; }
    void SetChild(ITestNode* child) override { m_child = child; }
    long Count() const { return m_dwRef; }

    ZELK_BEGIN_INTMAP(CTestNode)
    ZELK_INTMAP_ENTRY(ITestNode)
    ZELK_END_INTMAP()

private:
    AuxRefPtr<ITestNode> m_child;
};

CComObject<CTestNode>* NewNode()
{
    CComObject<CTestNode>* node = nullptr;
    EXPECT_EQ(CComObject<CTestNode>::CreateInstance(&node), S_OK);
    return node;
}

TEST(HoldersRef, AssignKeepsExactlyOneReference)
{
    CComObject<CTestNode>* node = NewNode();
    node->AddRef();
    {
        AuxRefPtr<ITestNode> holder(node);
        EXPECT_EQ(node->Count(), 2);
        holder.Assign(node);
        holder = node;
        EXPECT_EQ(node->Count(), 2);
        EXPECT_TRUE(static_cast<const void*>(static_cast<ITestNode*>(node)) == holder);
        holder.Assign(nullptr);
        EXPECT_EQ(node->Count(), 1);
        EXPECT_TRUE(nullptr == holder);

        holder = node;
        ITestNode* handed = holder.Detach();
        EXPECT_EQ(node->Count(), 2);
        holder.Attach(handed);
        EXPECT_EQ(node->Count(), 2);
        ITestNode** slot = &holder;
        EXPECT_EQ(node->Count(), 1);
        ASSERT_EQ(node->cpy(slot), S_OK);
        EXPECT_EQ(node->Count(), 2);
    }
    EXPECT_EQ(node->Count(), 1);
    EXPECT_EQ(node->Release(), 0);
    EXPECT_EQ(s_nodesAlive, 0);
}

TEST(HoldersRef, AssignOfAnObjectKeptAliveOnlyByTheHeldOne)
{
    CComObject<CTestNode>* parent = NewNode();
    CComObject<CTestNode>* child = NewNode();
    parent->SetChild(child);  // the parent holds the child's only reference
    AuxRefPtr<ITestNode> holder(parent);
    EXPECT_EQ(s_nodesAlive, 2);
    // Releasing the parent first would free the child before it is taken.
    holder = holder->Child();
    EXPECT_EQ(s_nodesAlive, 1);
    EXPECT_EQ(child->Count(), 1);
    EXPECT_STREQ(holder->getType(), "TestNode");
    holder.Free();
    EXPECT_EQ(s_nodesAlive, 0);
}

}  // namespace
