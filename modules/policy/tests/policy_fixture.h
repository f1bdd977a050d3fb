// Fixture of the tests through the table "zelk.policy.1": temporary system and
// user configuration folders, the runtime started (which loads libzelkpolicy
// by module name through the crypto library stand-in) and stopped again.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "test_util.h"
#include "zelk_alloc.h"
#include "zelk_policy_client.h"

namespace kestrin::policy::test {

class PolicyTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", m_home.Path().c_str(), 1);
        setenv("XDG_CONFIG_DIRS", m_dirs.Path().c_str(), 1);
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_NE(ZELK_POLICY_TABLE, nullptr);
    }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }

    std::string UserFolder() const { return m_home / "kestrin"; }
    std::string SystemFolder() const { return m_dirs / "kestrin"; }
    std::string UserFile() const { return UserFolder() + "/settings.plist"; }
    std::string SystemFile() const { return SystemFolder() + "/settings.plist"; }

    // Writes the system file with plistlib from a Python dictionary literal,
    // keeping its order.
    void WriteSystemPlist(const std::string& dict)
    {
        int status = -1;
        RunPython("os.makedirs('" + SystemFolder() + "', exist_ok=True)\n" + "plistlib.dump(" + dict + ", open('"
                      + SystemFile() + "', 'wb'), sort_keys=False)\n",
                  &status);
        ASSERT_EQ(status, 0);
    }

    // A value of a preference file as plistlib reads it (JSON text).
    static std::string PeerRead(const std::string& file, const std::string& expression)
    {
        int status = -1;
        std::string out = RunPython(
            "d = plistlib.load(open('" + file + "', 'rb'))\nprint(json.dumps(" + expression + "))\n", &status);
        EXPECT_EQ(status, 0);
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

    TempDir m_home;
    TempDir m_dirs;
};

// Owns one reference of a policy object.
class Policy {
public:
    Policy() = default;
    ~Policy() { ZELK_PolClose(&m_p); }
    Policy(const Policy&) = delete;
    Policy& operator=(const Policy&) = delete;
    ZELK_IPolicy** operator&() { return &m_p; }
    ZELK_IPolicy* operator->() const { return m_p; }
    ZELK_IPolicy* get() const { return m_p; }
    void reset() { ZELK_PolClose(&m_p); }

private:
    ZELK_IPolicy* m_p = nullptr;
};

// A text read through the policy, "<fail:code>" when the read fails.
inline std::string Text(ZELK_IPolicy* policy, const char* name)
{
    char* value = nullptr;
    int hr = policy->GetString(name, &value);
    if (hr != S_OK)
        return "<fail:" + std::to_string(hr) + ">";
    std::string text = value ? value : "<null>";
    sec_free(value);
    return text;
}

inline void FreeOctets(OctetString* value)
{
    if (!value)
        return;
    sec_free(value->data);
    sec_free(value);
}

}  // namespace kestrin::policy::test
