// Fixture of the resource-text tests: temporary configuration folders and a
// resource tree, the runtime started (which loads the module, the policy
// store and the stand-in's libxml2 by name) and stopped again.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

namespace kestrin::resloader::test {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/resloader-XXXXXX";
        m_path = mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// One resource file of <id name="key">text</id> elements.
inline std::string ResourceXml(const std::string& ids)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Resource languagecode=\"x\"><module name=\"test\">" + ids
           + "</module></Resource>\n";
}

inline std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

inline std::string Narrow(const wchar_t* s)
{
    if (s == nullptr)
        return "<null>";
    std::string out;
    for (; *s; ++s)
        out += static_cast<char>(*s);
    return out;
}

class ResLoader : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", (m_config.Path() + "/home").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_config.Path() + "/system").c_str(), 1);
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
            unsetenv(name);
        ASSERT_EQ(S_OK, ZELK_Initialize());
        api = ZELK_ApiCast<ZELK_RESLOADER_FKTS>(ZELK_RESLOADER_FKTS_TABLE);
        ASSERT_NE(api, nullptr);
    }
    void TearDown() override { EXPECT_EQ(S_OK, ZELK_Finalize()); }

    // Writes a value of policy "Common" into the user's preferences.
    void SetCommon(const char* name, const std::string& value)
    {
        ZELK_IPolicy* common = nullptr;
        ASSERT_EQ(S_OK, ZELK_PolOpen("Common", &common));
        ASSERT_EQ(S_OK, common->SetString(name, value.c_str()));
        ZELK_PolClose(&common);
    }

    std::string Dir() const { return m_resources.Path(); }
    std::wstring WDir() const { return Wide(m_resources.Path()); }
    void Resource(const std::string& folder, const std::string& bundle, const std::string& ids)
    {
        WriteFile(Dir() + "/" + folder + "/" + bundle + ".res", ResourceXml(ids));
    }

    const ZELK_RESLOADER_FKTS* api = nullptr;
    TempDir m_config;
    TempDir m_resources;
};

// Holds one manager reference.
class Manager {
public:
    ~Manager()
    {
        if (m_p)
            m_p->Release();
    }
    IResourceManager** operator&() { return &m_p; }
    IResourceManager* operator->() const { return m_p; }
    IResourceManager* get() const { return m_p; }

private:
    IResourceManager* m_p = nullptr;
};

inline std::string Text(const char* s)
{
    return s ? s : "<null>";
}

}  // namespace kestrin::resloader::test
