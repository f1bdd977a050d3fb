#include "provider_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "qev_attributes.h"
#include "zelk_holders.h"
#include "zelk_module.h"

namespace ZELK::ZELKPSE::test {
namespace {

std::string s_home;

class ProviderEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char folder[] = "/tmp/zelkpse-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        s_home = folder;
        for (const char* sub : {"/run", "/config", "/config/kestrin", "/data", "/state", "/xdg"})
            ASSERT_EQ(0, mkdir((s_home + sub).c_str(), 0700));
        setenv("HOME", folder, 1);
        setenv("XDG_RUNTIME_DIR", (s_home + "/run").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (s_home + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (s_home + "/xdg").c_str(), 1);
        setenv("XDG_DATA_HOME", (s_home + "/data").c_str(), 1);
        setenv("XDG_STATE_HOME", (s_home + "/state").c_str(), 1);
        ASSERT_EQ(S_OK, ZELK_Initialize());
    }
    void TearDown() override
    {
        EXPECT_EQ(S_OK, ZELK_Finalize());
        std::string command = "rm -rf '" + s_home + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }
};

[[maybe_unused]] ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(new ProviderEnvironment);

}  // namespace

const std::string& TestHome()
{
    return s_home;
}

HRESULT CreatePSE(PSE** out, SECAttribute* attributes)
{
    API_COMMON* table = nullptr;
    HRESULT hr = ZELK_GetAPI("zelkpse", "SEC_PSE_1", &table);
    if (FAILED(hr))
        return hr;
    hr = ZELK_ApiCast<SEC_PSE_TABLE>(table)->create_PSE(out, nullptr, attributes);
    ZELK_ReleaseAPI(&table);
    return hr;
}

PSE* NamedPSE(const char* name, HRESULT* result)
{
    SECAttribute attribute = Attribute(SEC_ATTR_PSE_NAME, name);
    PSE* pse = nullptr;
    HRESULT hr = CreatePSE(&pse, &attribute);
    if (result != nullptr)
        *result = hr;
    return pse;
}

SECAttribute Attribute(uint32_t id, const void* value, SECAttribute* next)
{
    SECAttribute attribute {};
    attribute.id = id;
    attribute.value = const_cast<void*>(value);
    unsigned int type = SEC_AttributeValueType(id);
    if (type != 0 && type != SEC_TYPE_InProcess)
        attribute.type = SEC_TypeTable(fptr__common_types, type);
    attribute.next = next;
    return attribute;
}

}  // namespace ZELK::ZELKPSE::test
