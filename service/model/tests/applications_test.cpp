// The application-policy list over plist stores: the "default" entry of the
// common settings, entries of application policies with a target, locked
// properties, and rereading after the store signals a change.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "model/model_applications.h"
#include "model_fixture.h"
#include "zelk_alloc.h"
#include "zelk_policy_client.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

class ApplicationsTest : public ModelTest {
protected:
    CModelApplications* List()
    {
        CModelApplications* list = nullptr;
        EXPECT_EQ(CSingletonFactoryImpl<CModelApplications>::New(&list), S_OK);
        return list;
    }
    static IGUIModelApplication* Entry(CModelApplications* list, unsigned long index)
    {
        IGUIModelApplication* entry = nullptr;
        EXPECT_EQ(list->GetElement(index, IID_IGUIModelApplication, reinterpret_cast<void**>(&entry)), S_OK);
        return entry;
    }
};

TEST_F(ApplicationsTest, EntriesReadTheirPolicyOrTheCommonSettings)
{
    WritePlist(true, "{'Common': {'GVX': {'Mode': 2, 'Locked': 'system'}}, 'applications': {"
                     "'mail': {'GssTargetName': 'p:CN=mail', 'Mode': 5, 'Name': 'app'},"
                     "'plain': {'Mode': 1}}}");
    CModelApplications* list = List();
    ASSERT_EQ(list->GetElementCount(), 2u);
    IGUIModelApplication* standard = Entry(list, 0);
    IGUIModelApplication* mail = Entry(list, 1);
    EXPECT_STREQ(standard->GetName(), "default");
    EXPECT_STREQ(mail->GetName(), "applications/mail");
    EXPECT_STREQ(mail->GetFilter(), "");

    bool changeable = true;
    EXPECT_EQ(mail->GetIntegerProperty("Mode", &changeable), 5u);
    EXPECT_FALSE(changeable);
    char* text = nullptr;
    ASSERT_EQ(mail->GetStringProperty("Name", &text, &changeable), S_OK);
    EXPECT_STREQ(text, "app");
    EXPECT_FALSE(changeable);
    sec_free(text);
    EXPECT_EQ(mail->SetIntegerProperty("Mode", 6), E_ACCESSDENIED);
    EXPECT_EQ(mail->SetStringProperty("Name", "x"), E_ACCESSDENIED);
    // The system value locks the common setting for every entry.
    EXPECT_EQ(standard->GetIntegerProperty("Mode", &changeable), 2u);
    EXPECT_FALSE(changeable);
    EXPECT_EQ(standard->SetIntegerProperty("Mode", 3), E_ACCESSDENIED);
    EXPECT_EQ(standard->SetStringProperty("Locked", "x"), E_ACCESSDENIED);
    // A property only the common settings hold is read and written there.
    EXPECT_EQ(mail->GetIntegerProperty("Timeout", &changeable), 0u);
    EXPECT_TRUE(changeable);
    EXPECT_EQ(mail->SetIntegerProperty("Timeout", 30), S_OK);
    EXPECT_EQ(standard->GetIntegerProperty("Timeout", nullptr), 30u);
    EXPECT_EQ(PeerRead("d['Common']['GVX']['Timeout']"), "30");

    IGUIModelApplication* found = nullptr;
    ASSERT_EQ(list->GetApplicationByGVXPartnerName("", &found), S_OK);
    EXPECT_EQ(found, standard);
    found->Release();
    EXPECT_EQ(list->GetApplicationByPath("APPLICATIONS/MAIL", &found), S_OK);
    EXPECT_EQ(found, mail);
    found->Release();
    EXPECT_EQ(list->GetApplicationByPath("default", &found), E_FAIL);
    standard->Release();
    mail->Release();
    static_cast<IGUIModelApplications*>(list)->Release();
}

TEST_F(ApplicationsTest, ChangesOfThePathsAreReadAfterTheirSignal)
{
    CModelApplications* list = List();
    ASSERT_EQ(list->GetElementCount(), 1u);
    // Each new sub-key signals its path; the list reads it on the next read.
    const struct {
        std::string key;
        const char* value;
        uint64_t count;
    } steps[] = {
        {"plain", "Mode", 1},  // no target: no entry
        {"web", "GssTargetName", 2},
        {std::string(600, 'n'), "GssTargetName", 2},  // a name over 511 bytes is not read
    };
    for (const auto& step : steps) {
        ZELK_IPolicy* app = nullptr;
        ASSERT_EQ(ZELK_PolOpen(("applications/" + step.key).c_str(), &app), 0);
        ASSERT_EQ(app->SetString(step.value, "p:CN=x"), 0);
        app->Release();
        if (step.count != 1) {
            EXPECT_TRUE(kestrin::service::test::WaitFor([&] { return list->GetElementCount() == step.count; }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(list->GetElementCount(), step.count) << step.key.substr(0, 10);
    }
    IGUIModelApplication* web = nullptr;
    ASSERT_EQ(list->GetApplicationByPath("applications/web", &web), S_OK);
    ZELK_IPolicy* apps = nullptr;
    ASSERT_EQ(ZELK_PolOpen("applications", &apps), 0);
    ASSERT_EQ(apps->DeleteSubkey("web"), 0);
    apps->Release();
    EXPECT_TRUE(kestrin::service::test::WaitFor([&] { return list->GetElementCount() == 1u; }));
    // The entry a caller still holds stays readable.
    EXPECT_STREQ(web->GetName(), "applications/web");
    web->Release();
    IGUIModelApplication* entry = nullptr;
    EXPECT_EQ(list->GetElement(1, IID_IGUIModelApplication, reinterpret_cast<void**>(&entry)), E_INVALIDARG);
    static_cast<IGUIModelApplications*>(list)->Release();
}

}  // namespace
}  // namespace kestrin::model::test
