// Input fields of credential prompts: presets, the two forms of every text,
// the server field and its confirmation, and the wipe of values.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>

#include "app_test.h"
#include "credask.h"
#include "zelk_alloc.h"
#include "zelk_module.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::ICredUIAsk;

CComObject<CCredUIAsk>* NewField()
{
    CComObject<CCredUIAsk>* field = nullptr;
    CComObject<CCredUIAsk>::CreateInstance(&field);
    field->AddRef();
    return field;
}

TEST(CredUIAsk, PresetsSetLabelAndFlags)
{
    struct Case {
        int preset;
        const char* label;
        int password;
        int verify;
    } cases[] = {
        {1, "Password", 1, 0}, {2, "New Password", 1, 0}, {3, "Confirm", 1, 1},
        {4, "PIN", 1, 0},      {5, "New PIN", 1, 0},      {6, "PUK", 1, 0},
        {7, "New PUK", 1, 0},  {8, "Username", 0, 0},     {9, "Tokencode", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        Ref<CComObject<CCredUIAsk>> field(NewField());
        EXPECT_EQ(field->LoadPreset(static_cast<ICredUIAsk::ASK_PRESETS>(c.preset), "ignored", 1), S_OK);
        EXPECT_STREQ(field->GetLabel(), c.label);
        EXPECT_EQ(std::wstring(field->GetLabelW()), std::wstring(c.label, c.label + std::strlen(c.label)));
        EXPECT_EQ(field->GetPassword(), c.password);
        EXPECT_EQ(field->GetVerify(), c.verify);
    }
    // Outside the table nothing changes; the verify flag survives a later preset.
    Ref<CComObject<CCredUIAsk>> field(NewField());
    field->SetLabel("Mine");
    field->SetVerify(1);
    for (int preset : {0, 10, -1})
        EXPECT_EQ(field->LoadPreset(static_cast<ICredUIAsk::ASK_PRESETS>(preset), nullptr, 0), S_OK);
    EXPECT_STREQ(field->GetLabel(), "Mine");
    EXPECT_EQ(field->LoadPresetW(ICredUIAsk::ASK_USERNAME, L"ignored", 0), S_OK);
    EXPECT_STREQ(field->GetLabel(), "Username");
    EXPECT_EQ(field->GetVerify(), 1);
    EXPECT_EQ(field->GetPassword(), 0);
}

TEST(CredUIAsk, TextsAreKeptInBothForms)
{
    Ref<CComObject<CCredUIAsk>> field(NewField());
    EXPECT_EQ(field->GetValue(), nullptr);
    field->SetValueW(L"Gr\u00fc\u00dfe \U0001F511");
    EXPECT_STREQ(field->GetValue(), "Gr\xc3\xbc\xc3\x9f"
                                    "e \xf0\x9f\x94\x91");
    field->SetName("n\xc3\xa4me");
    EXPECT_EQ(std::wstring(field->GetNameW()), L"n\u00e4me");
    // Invalid wide text is replaced, not carried.
    const wchar_t invalid[] = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
    field->SetLabelW(invalid);
    EXPECT_STREQ(field->GetLabel(), "a\xef\xbf\xbd\xef\xbf\xbd");
    // The kept pointer itself changes nothing.
    const char* kept = field->GetValue();
    field->SetValue(kept);
    EXPECT_EQ(field->GetValue(), kept);
    // Flags are stored as 0 or 1.
    field->SetDisabled(42);
    field->SetPassword(-3);
    EXPECT_EQ(field->GetDisabled(), 1);
    EXPECT_EQ(field->GetPassword(), 1);
    EXPECT_EQ(field->SetLabelId("X"), S_OK);
    EXPECT_EQ(field->GetLabelIcon(), 0);
}

TEST(CredUIAsk, ServerFieldGetsEveryValueAndEmptyForNone)
{
    Ref<CComObject<ServerField>> server(NewServerField("pin", ""));
    Ref<CComObject<CCredUIAsk>> field(NewField());
    field->AddKVInputField(server);
    field->SetValue("1234");
    EXPECT_EQ(server->value, L"1234");
    field->SetValue(nullptr);
    EXPECT_EQ(field->GetValue(), nullptr);
    EXPECT_EQ(server->value, L"");
    EXPECT_FALSE(server->nullSeen);

    // A replaced server field is released, the new one held.
    Ref<CComObject<ServerField>> other(NewServerField("pin2", ""));
    field->AddKVInputField(other);
    field->SetValueW(L"5678");
    EXPECT_EQ(server->calls, 2);
    EXPECT_EQ(other->value, L"5678");
}

TEST(CredUIAsk, VerifyFieldThroughServerFields)
{
    Ref<CComObject<ServerField>> pin(NewServerField("newpin", ""));
    Ref<CComObject<ServerField>> confirm(NewServerField("newpin2", "newpin"));
    Ref<CComObject<ServerField>> stranger(NewServerField("x", "other"));
    Ref<CComObject<CCredUIAsk>> first(NewField());
    Ref<CComObject<CCredUIAsk>> second(NewField());
    Ref<CComObject<CCredUIAsk>> bare(NewField());
    EXPECT_FALSE(first->isMyVerifyField(second));
    first->AddKVInputField(pin);
    EXPECT_FALSE(first->isMyVerifyField(second));
    second->AddKVInputField(confirm);
    EXPECT_TRUE(first->isMyVerifyField(second));
    EXPECT_FALSE(second->isMyVerifyField(first));
    EXPECT_FALSE(first->isMyVerifyField(nullptr));
    EXPECT_FALSE(first->isMyVerifyField(bare));
    second->AddKVInputField(stranger);
    EXPECT_FALSE(first->isMyVerifyField(second));
}

// The crypto library's allocator, with every freed buffer searched for the secret.
SEC_FUNCTION_LIST* s_library = nullptr;
int s_secretsFreed = 0;
int s_buffersFreed = 0;

void RecordingFree(void* pointer)
{
    if (pointer) {
        ++s_buffersFreed;
        const size_t size = malloc_usable_size(pointer);
        const auto* bytes = static_cast<const unsigned char*>(pointer);
        const char narrow[] = "s3cr3t";
        const wchar_t wide[] = L"s3cr3t";
        for (size_t i = 0; i < size; ++i) {
            if (i + sizeof narrow - 1 <= size && std::memcmp(bytes + i, narrow, sizeof narrow - 1) == 0)
                ++s_secretsFreed;
            if (i + sizeof wide - sizeof(wchar_t) <= size
                && std::memcmp(bytes + i, wide, sizeof wide - sizeof(wchar_t)) == 0)
                ++s_secretsFreed;
        }
    }
    s_library->free(pointer);
}

TEST(CredUIAsk, ValuesAreWipedOnReplacementAndRelease)
{
    s_library = sdk_f_list;
    SEC_FUNCTION_LIST recording = *sdk_f_list;
    recording.free = &RecordingFree;
    sdk_f_list = &recording;
    {
        Ref<CComObject<CCredUIAsk>> field(NewField());
        field->SetValue("s3cr3t");
        field->SetValueW(L"other");
        field->SetValueW(L"s3cr3t");
    }
    sdk_f_list = s_library;
    EXPECT_GE(s_buffersFreed, 4);
    EXPECT_EQ(s_secretsFreed, 0);
}

}  // namespace
}  // namespace kestrin::app::test
