#include "tokens_fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"

namespace kestrin::service::test {

std::string Shell(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(("(" + command + ") 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return "<popen failed>";
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    pclose(pipe);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

void TokensTest::SetUp()
{
    char pattern[] = "/tmp/zelktokens-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    std::filesystem::create_directories(m_dir + "/home/kestrin");
    std::filesystem::create_directories(m_dir + "/etc/kestrin");
    std::filesystem::create_directories(m_dir + "/data");
    setenv("XDG_CONFIG_HOME", (m_dir + "/home").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (m_dir + "/etc").c_str(), 1);
    setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
    ServiceTest::SetUp();
}

void TokensTest::TearDown()
{
    ServiceTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void TokensTest::Plist(const std::string& dict)
{
    std::string file = m_dir + "/home/kestrin/settings.plist";
    ASSERT_EQ(Shell("python3 -c \"import plistlib; plistlib.dump(" + dict + ", open('" + file
                    + "', 'wb'), sort_keys=False)\" && echo ok"),
              "ok");
}

std::vector<uint8_t> TokensTest::MakeCertificate(const std::string& name)
{
    const std::string base = m_dir + "/" + name;
    std::string out = Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '/CN="
                            + name + "' -keyout '" + base + ".key' -out '" + base + ".pem' && openssl x509 -in '" + base
                            + ".pem' -outform DER -out '" + base + ".der' && echo ok");
    EXPECT_NE(out.find("ok"), std::string::npos) << out;
    std::ifstream in(base + ".der", std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Certificate* TokensTest::Decode(const std::vector<uint8_t>& der)
{
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    OctetString bytes {der.size(), const_cast<uint8_t*>(der.data())};
    Certificate* certificate = nullptr;
    if (type == nullptr || FAILED(type->decode(&bytes, reinterpret_cast<void**>(&certificate))))
        return nullptr;
    return certificate;
}

std::vector<std::string> TokensTest::Subjects(const SET_OF_Certificate* list)
{
    std::vector<std::string> names;
    for (; list != nullptr; list = list->next) {
        char* cn = nullptr;
        if (list->element)
            list->element->getSubjectCommonName(&cn);
        names.push_back(cn ? cn : "?");
        sec_free(cn);
    }
    return names;
}

void TokensTest::FreeList(SET_OF_Certificate* list)
{
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate);
    if (list && type)
        type->free(list);
}

}  // namespace kestrin::service::test
