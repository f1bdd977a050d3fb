// Attribute chains: the first entry wins, values of another type count as
// absent, setters replace an existing entry's value and never add one.
#include <gtest/gtest.h>

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_secattribute.h"

namespace kestrin::runtime::test {
namespace {

class SecAttributeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }

    static const SEC_TYPE_TABLE* Table(unsigned int index) { return SEC_TypeTable(fptr__common_types, index); }

    // Frees what an entry owns, as the chain's holder would.
    static void Drop(SECAttribute& entry, unsigned int index)
    {
        if (entry.owned && entry.value) {
            const SEC_TYPE_TABLE* table = Table(index);
            if (index == SEC_TYPE_String || index == SEC_TYPE_int)
                sec_free(entry.value);
            else
                table->free(entry.value);
        }
        entry.value = nullptr;
        entry.owned = 0;
    }
};

TEST_F(SecAttributeTest, GettersReadTheFirstEntryOfTheRightType)
{
    ASSERT_NE(Table(SEC_TYPE_String), nullptr);
    int32_t usage = 17;
    int32_t later = 5;
    char uri[] = "toksw:mem://kestrin/a";
    DName name {0, nullptr};
    SECAttribute third {SEC_ATTR_KEY_USAGE, &later, 0, 0, 0, nullptr, nullptr};
    SECAttribute second {SEC_ATTR_TOKEN_URI, uri, 0, 0, 0, Table(SEC_TYPE_String), &third};
    SECAttribute first {SEC_ATTR_KEY_USAGE, &usage, 0, 0, 0, nullptr, &second};

    EXPECT_EQ(SECAttributeArray_FindAttribute(&first, SEC_ATTR_KEY_USAGE), &first);
    EXPECT_EQ(SECAttributeArray_FindAttribute(&first, SEC_ATTR_SUBJECT_NAME), nullptr);
    EXPECT_EQ(SECAttributeArray_FindAttribute(nullptr, SEC_ATTR_KEY_USAGE), nullptr);
    EXPECT_EQ(SECAttributeArray_GetInteger(&first, SEC_ATTR_KEY_USAGE), 17);
    EXPECT_STREQ(SECAttributeArray_GetString(&first, SEC_ATTR_TOKEN_URI), uri);

    // Missing entries and entries of another type answer the neutral value.
    EXPECT_EQ(SECAttributeArray_GetInteger(&first, SEC_ATTR_CONNECTION), 0);
    EXPECT_EQ(SECAttributeArray_GetString(&first, SEC_ATTR_KEY_ID), nullptr);
    EXPECT_EQ(SECAttributeArray_GetDName(&first, SEC_ATTR_TOKEN_URI), nullptr);
    EXPECT_EQ(SECAttributeArray_GetInteger(&first, SEC_ATTR_TOKEN_URI), 0);
    second.type = Table(SEC_TYPE_DName);
    second.value = &name;
    EXPECT_EQ(SECAttributeArray_GetString(&first, SEC_ATTR_TOKEN_URI), nullptr);
    EXPECT_EQ(SECAttributeArray_GetDName(&first, SEC_ATTR_TOKEN_URI), &name);
    EXPECT_EQ(SECAttributeArray_GetAlgId(&first, SEC_ATTR_TOKEN_URI), nullptr);
    EXPECT_EQ(SECAttributeArray_GetSET_OF_DName(&first, SEC_ATTR_TOKEN_URI), nullptr);
    EXPECT_EQ(SECAttributeArray_GetSET_OF_Certificate(&first, SEC_ATTR_TOKEN_URI), nullptr);
}

TEST_F(SecAttributeTest, SettersReplaceAValueAndNeverAddAnEntry)
{
    char placed[] = "placed";
    SECAttribute answer {SEC_ATTR_CONTROL_ANSWER, placed, 0, 1, 0, Table(SEC_TYPE_String), nullptr};
    SECAttribute number {SEC_ATTR_CONNECTION, nullptr, 0, 0, 0, nullptr, &answer};

    EXPECT_EQ(SECAttributeArray_SetString(&number, SEC_ATTR_CONTROL_CALLER, "x"), E_FAIL);
    EXPECT_EQ(SECAttributeArray_SetInteger(&number, SEC_ATTR_KEY_USAGE, 1), E_FAIL);
    EXPECT_EQ(answer.next, nullptr);

    // A value the entry does not own is left to its holder.
    ASSERT_EQ(SECAttributeArray_SetString(&number, SEC_ATTR_CONTROL_ANSWER, "{\"a\":1}"), S_OK);
    EXPECT_STREQ(static_cast<char*>(answer.value), "{\"a\":1}");
    EXPECT_NE(answer.value, placed);
    EXPECT_EQ(answer.owned, 1);
    EXPECT_EQ(answer.answered, 1);
    EXPECT_EQ(answer.type, Table(SEC_TYPE_String));
    // An owned value is freed on the next set (the sanitizer build sees a leak otherwise).
    ASSERT_EQ(SECAttributeArray_SetString(&number, SEC_ATTR_CONTROL_ANSWER, "second"), S_OK);
    EXPECT_STREQ(static_cast<char*>(answer.value), "second");
    Drop(answer, SEC_TYPE_String);

    ASSERT_EQ(SECAttributeArray_SetInteger(&number, SEC_ATTR_CONNECTION, 0xFFFFFFFFu), S_OK);
    ASSERT_EQ(SECAttributeArray_SetInteger(&number, SEC_ATTR_CONNECTION, 7), S_OK);
    EXPECT_EQ(SECAttributeArray_GetInteger(&number, SEC_ATTR_CONNECTION), 7);
    EXPECT_EQ(number.type, nullptr);
    Drop(number, SEC_TYPE_int);

    unsigned char bytes[] = {1, 2, 3};
    OctetString octets {sizeof bytes, bytes};
    SECAttribute key {SEC_ATTR_SUBJECT_KEY_ID, nullptr, 0, 0, 0, nullptr, nullptr};
    ASSERT_EQ(SECAttributeArray_SetOctetString(&key, SEC_ATTR_SUBJECT_KEY_ID, &octets), S_OK);
    ASSERT_EQ(SECAttributeArray_SetOctetString(&key, SEC_ATTR_SUBJECT_KEY_ID, &octets), S_OK);
    auto* copy = static_cast<OctetString*>(key.value);
    ASSERT_EQ(copy->length, 3u);
    EXPECT_EQ(std::memcmp(copy->data, bytes, 3), 0);
    Drop(key, SEC_TYPE_OctetString);

    char token[] = "tok:a";
    PersonalCertificateInfo info {};
    info.tokenName = token;
    SECAttribute credential {SEC_ATTR_CREDENTIAL, nullptr, 0, 0, 0, nullptr, nullptr};
    ASSERT_EQ(SECAttributeArray_SetPersonalCertificateInfo(&credential, SEC_ATTR_CREDENTIAL, &info), S_OK);
    EXPECT_STREQ(static_cast<PersonalCertificateInfo*>(credential.value)->tokenName, "tok:a");
    Drop(credential, SEC_TYPE_PersonalCertificateInfo);
}

}  // namespace
}  // namespace kestrin::runtime::test
