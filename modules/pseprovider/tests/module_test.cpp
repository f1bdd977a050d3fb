// The provider front: which PSE each request of "SEC_PSE_1" gets, the
// security contexts of "SEC_ASC_1", and the trace hook of client programs.
// What fixes the process's PSE runs in a child process of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "provider_environment.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::ZELKPSE::test {
namespace {

class ProviderFront : public ::testing::Test {
protected:
    static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

const API_COMMON* Table(const char* api)
{
    API_COMMON* table = nullptr;
    return SUCCEEDED(ZELK_GetAPI("zelkpse", api, &table)) ? table : nullptr;
}

TEST_F(ProviderFront, TablesAnswerTheirInfoAndFixedEntries)
{
    const auto* pse = ZELK_ApiCast<SEC_PSE_TABLE>(Table("SEC_PSE_1"));
    const auto* asc = ZELK_ApiCast<SEC_ASC_TABLE>(Table("SEC_ASC_1"));
    ASSERT_NE(pse, nullptr);
    ASSERT_NE(asc, nullptr);
    const char* texts[3] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(pse->get_info(&texts[0], &texts[1], &texts[2]), S_OK);
    for (const char* text : texts)
        EXPECT_STREQ(text, "pseproxy");
    EXPECT_EQ(asc->get_info(&texts[0], &texts[1], &texts[2]), S_OK);
    EXPECT_STREQ(texts[0], "SEC_ASC_1");
    EXPECT_STREQ(texts[1], "zelkpkcs11");
    EXPECT_STREQ(texts[2], "zelkpkcs11");
    EXPECT_EQ(pse->get_info(nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(pse->initialize_PSE(nullptr, nullptr), S_OK);
    auto* untouched = reinterpret_cast<SecSlot*>(0x1);
    EXPECT_EQ(pse->getSlot(&untouched, "tokkeychain:cfg=KVWC+KVC"), S_OK);
    EXPECT_EQ(untouched, reinterpret_cast<SecSlot*>(0x1));
}

TEST_F(ProviderFront, NamesOfOtherSchemesMakeNoPSE)
{
    for (const char* name : {"ldap://ldap.example/cn=ca", "/etc/ssl/certs", "FILE:///etc/ssl/certs",
                             "Tokkeychain:cfg=KVWC+KVC", "file:/etc/ssl/certs", ""}) {
        HRESULT hr = S_OK;
        PSE* pse = NamedPSE(name, &hr);
        EXPECT_EQ(hr, E_PSE_NOPSE) << name;
        EXPECT_EQ(pse, nullptr) << name;
    }
    // A name that is not text is no name of any scheme.
    int number = 7;
    SECAttribute typed = Attribute(SEC_ATTR_PSE_NAME, &number);
    typed.type = SEC_TypeTable(fptr__common_types, SEC_TYPE_int);
    PSE* pse = nullptr;
    EXPECT_EQ(CreatePSE(&pse, &typed), E_PSE_NOPSE);
    EXPECT_EQ(pse, nullptr);
    // A named PSE is handed out, never kept: without an out-pointer there is
    // nothing to do.
    SECAttribute named = Attribute(SEC_ATTR_PSE_NAME, "file:///etc/ssl/certs");
    EXPECT_EQ(CreatePSE(nullptr, &named), E_PSE_NOARG);
}

TEST_F(ProviderFront, EveryNamedRequestGetsAPSEOfItsOwn)
{
    // A relative path after "file://" is taken as it stands.
    PSE* relative = NamedPSE("file://relative/certs.pem");
    ASSERT_NE(relative, nullptr);
    SET_OF_Certificate* trusted = reinterpret_cast<SET_OF_Certificate*>(0x1);
    EXPECT_EQ(relative->getTrustedCertList(&trusted), S_OK);
    EXPECT_EQ(trusted, nullptr);
    PSE* again = NamedPSE("file://relative/certs.pem");
    EXPECT_NE(again, relative);
    PSE* keychain = NamedPSE("tokkeychain:-");
    ASSERT_NE(keychain, nullptr);
    EXPECT_NE(keychain, relative);
    for (PSE* pse : {relative, again, keychain})
        if (pse != nullptr)
            pse->Release();
}

TEST_F(ProviderFront, TheFirstUnnamedPSEServesEveryLaterUnnamedRequest)
{
    IN_CHILD({
        PSE* first = nullptr;
        CHILD_CHECK(CreatePSE(&first, nullptr) == S_OK && first != nullptr);
        const char* caller = "an application";
        SECAttribute other = Attribute(SEC_ATTR_CALLER, caller);
        PSE* second = nullptr;
        CHILD_CHECK(CreatePSE(&second, &other) == S_OK && second == first);
        CHILD_CHECK(CreatePSE(nullptr, nullptr) == S_OK);
        second->Release();
        first->Release();
    });
}

// The service hands its PSE over; named requests made before and after it
// never become the process's PSE, and the hand-over leaves *out alone.
TEST_F(ProviderFront, NamedRequestsNeverBecomeTheProcessPSE)
{
    IN_CHILD({
        PSE* service = NamedPSE("file:///nonexistent/service");
        CHILD_CHECK(service != nullptr);

        SECAttribute handOverSecond = Attribute(SEC_ATTR_SERVICE_PSE, service);
        SECAttribute otherScheme = Attribute(SEC_ATTR_PSE_NAME, "ldap://ldap.example", &handOverSecond);
        PSE* out = nullptr;
        CHILD_CHECK(CreatePSE(&out, &otherScheme) == E_PSE_NOPSE && out == nullptr);
        SECAttribute fileFirst = Attribute(SEC_ATTR_PSE_NAME, "file:///nonexistent/first", &handOverSecond);
        CHILD_CHECK(CreatePSE(&out, &fileFirst) == S_OK && out != nullptr && out != service);
        out->Release();

        SECAttribute name = Attribute(SEC_ATTR_PSE_NAME, "file:///nonexistent/named");
        SECAttribute handOver = Attribute(SEC_ATTR_SERVICE_PSE, service, &name);
        auto* sentinel = reinterpret_cast<PSE*>(0x1);
        out = sentinel;
        CHILD_CHECK(CreatePSE(&out, &handOver) == S_OK && out == sentinel);

        PSE* unnamed = nullptr;
        CHILD_CHECK(CreatePSE(&unnamed, nullptr) == S_OK && unnamed == service);
        unnamed->Release();
        PSE* file = NamedPSE("file:///nonexistent/later");
        CHILD_CHECK(file != nullptr && file != service);
        file->Release();
        // A second hand-over changes nothing.
        PSE* other = NamedPSE("tokkeychain:-");
        SECAttribute secondHandOver = Attribute(SEC_ATTR_SERVICE_PSE, other);
        CHILD_CHECK(CreatePSE(nullptr, &secondHandOver) == S_OK);
        CHILD_CHECK(CreatePSE(&unnamed, nullptr) == S_OK && unnamed == service);
        unnamed->Release();
        other->Release();
        service->Release();
    });
}

TEST_F(ProviderFront, AnEmptyKvwcModeSelectsTheKeychainPSE)
{
    IN_CHILD({
        setenv("QEV_KVWC_MODE", "", 1);
        PSE* pse = nullptr;
        CHILD_CHECK(CreatePSE(&pse, nullptr) == S_OK && pse != nullptr);
        // Only the keychain PSE reports slot events without a service.
        SecSlotEvents* events = nullptr;
        CHILD_CHECK(pse->getSlotEvents(&events) == S_OK && events != nullptr);
        SecSlot* slot = nullptr;
        CHILD_CHECK(events->wait(SLOT_EVENT_DONT_BLOCK, &slot) == SLOT_EVENT_NONE && slot == nullptr);
        events->Release();
        pse->Release();
    });
}

TEST_F(ProviderFront, SecurityContextsUseTheProcessPSE)
{
    IN_CHILD({
        const auto* asc = ZELK_ApiCast<SEC_ASC_TABLE>(Table("SEC_ASC_1"));
        CHILD_CHECK(asc != nullptr);
        ASC* context = nullptr;
        CHILD_CHECK(asc->create_ASC(&context, nullptr) == S_OK && context != nullptr);
        PSE* fromContext = nullptr;
        CHILD_CHECK(context->getPSE(&fromContext) == S_OK && fromContext != nullptr);
        PSE* unnamed = nullptr;
        CHILD_CHECK(CreatePSE(&unnamed, nullptr) == S_OK && unnamed == fromContext);
        unnamed->Release();
        fromContext->Release();
        context->Release();
    });
}

void WriteTraceLevel(int level)
{
    std::string settings = TestHome() + "/config/kestrin/settings.plist";
    std::ofstream(settings + ".new") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>trace</key><dict>"
                                        "<key>Level</key><integer>"
                                     << level << "</integer></dict></dict></plist>";
    std::rename((settings + ".new").c_str(), settings.c_str());
}

unsigned LibraryTraceLevel()
{
    const auto* notify = ZELK_ApiCast<SEC_NOTIFY_TABLE>(fptr__notify);
    return notify != nullptr ? notify->level(nullptr, 0) : 99;
}

bool WaitForLevel(unsigned level)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (LibraryTraceLevel() != level) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST_F(ProviderFront, TheProxyPathMakesTheLibraryFollowThePolicyTraceLevel)
{
    IN_CHILD({
        WriteTraceLevel(0);
        PSE* pse = nullptr;
        CHILD_CHECK(CreatePSE(&pse, nullptr) == S_OK);
        CHILD_CHECK(LibraryTraceLevel() == 0);
        WriteTraceLevel(7);
        CHILD_CHECK(WaitForLevel(5));
        WriteTraceLevel(0);
        CHILD_CHECK(WaitForLevel(0));
        pse->Release();
    });
}

}  // namespace
}  // namespace ZELK::ZELKPSE::test
