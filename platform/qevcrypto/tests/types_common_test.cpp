// The per-type tables of the string type, OctetString, SET_OF_String and
// SECAttribute in "SEC_COMMONTYPES_1".
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qev_fixture.h"

namespace {

class CommonTypesTest : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
        ASSERT_NE(types, nullptr);
    }

    const SEC_TYPE_TABLE* type(unsigned int index) { return SEC_TypeTable(types, index); }

    OctetString* octets(const std::string& bytes)
    {
        auto* s = static_cast<OctetString*>(list->calloc(1, sizeof(OctetString)));
        s->length = bytes.size();
        s->data = static_cast<unsigned char*>(list->malloc(bytes.size() + 1));
        std::memcpy(s->data, bytes.data(), bytes.size());
        return s;
    }

    SET_OF_String* strings(const std::vector<std::string>& items)
    {
        void* head = nullptr;
        const SEC_TYPE_TABLE* t = type(SEC_TYPE_SET_OF_String);
        // Each new node goes in front of the cursor: build from the back.
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            EXPECT_EQ(t->new_node(&head), S_OK);
            auto* node = static_cast<SET_OF_String*>(head);
            EXPECT_EQ(node->element, nullptr);
            void* copy = nullptr;
            EXPECT_EQ(type(SEC_TYPE_String)->copy(it->c_str(), &copy), S_OK);
            node->element = static_cast<char*>(copy);
        }
        return static_cast<SET_OF_String*>(head);
    }

    API_COMMON* types = nullptr;
};

TEST_F(CommonTypesTest, SlotsHoldTypeTablesOrNothing)
{
    struct {
        unsigned int index;
        const char* name;
        HRESULT addRef;  // of NULL: only counted types take references
    } cases[] = {
        {SEC_TYPE_String, "String", E_NOTIMPL},
        {SEC_TYPE_OctetString, "OctetString", E_NOTIMPL},
        {SEC_TYPE_SET_OF_String, "SET_OF_String", E_POINTER},
        {SEC_TYPE_SECAttribute, "SECAttribute", E_NOTIMPL},
    };
    for (const auto& c : cases) {
        const SEC_TYPE_TABLE* t = type(c.index);
        ASSERT_NE(t, nullptr) << c.name;
        const char* name = nullptr;
        const char* module = nullptr;
        EXPECT_EQ(t->get_info(&name, &module, nullptr), S_OK);
        EXPECT_STREQ(name, c.name);
        EXPECT_STREQ(module, "qevcrypto");
        // A NULL value encodes as no bytes; a missing encoding decodes to nothing.
        void* out = nullptr;
        OctetString* der = nullptr;
        EXPECT_EQ(t->decode(nullptr, &out), E_INVALIDARG) << c.name;
        EXPECT_EQ(t->encode(nullptr, &der), S_OK) << c.name;
        EXPECT_EQ(der, nullptr) << c.name;
        EXPECT_EQ(t->add_ref(nullptr), c.addRef) << c.name;
    }
    // A type index that no type fills is an empty slot, never a function.
    EXPECT_EQ(type(200), nullptr);
    const char* name = nullptr;
    EXPECT_EQ(types->get_info(&name, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, "SEC_COMMONTYPES_1");
}

TEST_F(CommonTypesTest, StringCopyCompareFree)
{
    const SEC_TYPE_TABLE* t = type(SEC_TYPE_String);
    void* copy = nullptr;
    ASSERT_EQ(t->copy("sesame", &copy), S_OK);
    EXPECT_STREQ(static_cast<char*>(copy), "sesame");
    EXPECT_EQ(t->compare(copy, "sesame"), 0);
    EXPECT_LT(t->compare("a", "b"), 0);
    EXPECT_NE(t->compare(nullptr, "b"), 0);
    EXPECT_EQ(t->compare(nullptr, nullptr), 0);
    EXPECT_EQ(t->free(copy), S_OK);

    copy = &copy;
    EXPECT_EQ(t->copy(nullptr, &copy), S_OK);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(t->copy("x", nullptr), E_POINTER);
    EXPECT_EQ(t->free(nullptr), S_OK);
    EXPECT_EQ(t->new_node(&copy), E_NOTIMPL);
}

TEST_F(CommonTypesTest, OctetStringCopyCompareFree)
{
    const SEC_TYPE_TABLE* t = type(SEC_TYPE_OctetString);
    std::string bytes("a\0b\xff", 4);
    OctetString* original = octets(bytes);
    void* out = nullptr;
    ASSERT_EQ(t->copy(original, &out), S_OK);
    auto* copy = static_cast<OctetString*>(out);
    ASSERT_EQ(copy->length, 4u);
    EXPECT_NE(copy->data, original->data);
    EXPECT_EQ(std::memcmp(copy->data, bytes.data(), 4), 0);
    EXPECT_EQ(copy->data[4], 0);  // readable as text
    EXPECT_EQ(t->compare(original, copy), 0);

    OctetString* shorter = octets(std::string("a\0b", 3));
    OctetString* greater = octets(std::string("b", 1));
    OctetString empty {0, nullptr};
    EXPECT_GT(t->compare(original, shorter), 0);
    EXPECT_LT(t->compare(shorter, original), 0);
    EXPECT_LT(t->compare(original, greater), 0);
    EXPECT_GT(t->compare(original, &empty), 0);

    ASSERT_EQ(t->copy(&empty, &out), S_OK);
    EXPECT_EQ(static_cast<OctetString*>(out)->length, 0u);
    EXPECT_EQ(t->compare(out, &empty), 0);
    EXPECT_EQ(t->free(out), S_OK);

    OctetString broken {5, nullptr};
    out = &out;
    EXPECT_EQ(t->copy(&broken, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);

    for (OctetString* s : {original, copy, shorter, greater})
        EXPECT_EQ(t->free(s), S_OK);
    EXPECT_EQ(t->free(nullptr), S_OK);
}

TEST_F(CommonTypesTest, SetOfStringKeepsOrder)
{
    const SEC_TYPE_TABLE* t = type(SEC_TYPE_SET_OF_String);
    SET_OF_String* names = strings({"one", "two", "three"});
    std::vector<std::string> seen;
    for (SET_OF_String* n = names; n; n = n->next)
        seen.emplace_back(n->element);
    EXPECT_EQ(seen, (std::vector<std::string> {"one", "two", "three"}));

    void* out = nullptr;
    ASSERT_EQ(t->copy(names, &out), S_OK);
    auto* copy = static_cast<SET_OF_String*>(out);
    EXPECT_NE(copy, names);
    EXPECT_NE(copy->element, names->element);
    EXPECT_EQ(t->compare(names, copy), 0);

    SET_OF_String* prefix = strings({"one", "two"});
    SET_OF_String* other = strings({"one", "zwei", "three"});
    EXPECT_LT(t->compare(prefix, names), 0);
    EXPECT_GT(t->compare(names, prefix), 0);
    EXPECT_NE(t->compare(names, other), 0);
    EXPECT_EQ(t->compare(nullptr, nullptr), 0);

    // The empty names copies to NULL.
    out = &out;
    ASSERT_EQ(t->copy(nullptr, &out), S_OK);
    EXPECT_EQ(out, nullptr);

    // A cursor in the middle of a names: the new node goes in front of it.
    void* cursor = names->next;
    ASSERT_EQ(t->new_node(&cursor), S_OK);
    EXPECT_EQ(static_cast<SET_OF_String*>(cursor)->next, names->next);
    names->next = static_cast<SET_OF_String*>(cursor);
    EXPECT_EQ(names->next->element, nullptr);
    EXPECT_NE(t->compare(names, copy), 0);

    for (SET_OF_String* l : {names, copy, prefix, other})
        EXPECT_EQ(t->free(l), S_OK);
}

TEST_F(CommonTypesTest, AttributeChainOwnsItsTypedValues)
{
    const SEC_TYPE_TABLE* t = type(SEC_TYPE_SECAttribute);
    const SEC_TYPE_TABLE* octetType = type(SEC_TYPE_OctetString);
    static int shared = 7;

    void* chain = nullptr;
    // Built from the back: the last record first.
    ASSERT_EQ(t->new_node(&chain), S_OK);
    auto* last = static_cast<SECAttribute*>(chain);
    EXPECT_EQ(last->id, 0u);
    EXPECT_EQ(last->value, nullptr);
    EXPECT_EQ(last->next, nullptr);
    last->id = 0xFF000002;
    last->value = &shared;  // not owned: nobody frees it
    ASSERT_EQ(t->new_node(&chain), S_OK);
    auto* first = static_cast<SECAttribute*>(chain);
    EXPECT_EQ(first->next, last);
    first->id = 902;
    first->value = octets("config");
    first->owned = 1;
    first->type = octetType;

    void* out = nullptr;
    ASSERT_EQ(t->copy(chain, &out), S_OK);
    auto* copy = static_cast<SECAttribute*>(out);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy->next, nullptr);
    EXPECT_EQ(copy->next->next, nullptr);
    EXPECT_EQ(copy->id, 902u);
    EXPECT_EQ(copy->owned, 1);
    EXPECT_NE(copy->value, first->value);
    EXPECT_EQ(octetType->compare(copy->value, first->value), 0);
    EXPECT_EQ(copy->next->id, 0xFF000002u);
    EXPECT_EQ(copy->next->value, &shared);
    EXPECT_EQ(copy->next->owned, 0);
    EXPECT_EQ(t->compare(chain, copy), 0);

    static_cast<OctetString*>(copy->value)->data[0] = 'C';
    EXPECT_NE(t->compare(chain, copy), 0);
    copy->next->id = 1;
    EXPECT_NE(t->compare(chain, copy), 0);

    // An owned buffer without a type is the library's plain allocation.
    void* plain = nullptr;
    ASSERT_EQ(t->new_node(&plain), S_OK);
    static_cast<SECAttribute*>(plain)->value = list->malloc(16);
    static_cast<SECAttribute*>(plain)->owned = 1;

    EXPECT_EQ(t->free(chain), S_OK);
    EXPECT_EQ(t->free(copy), S_OK);
    EXPECT_EQ(t->free(plain), S_OK);
    EXPECT_EQ(shared, 7);
}

}  // namespace
