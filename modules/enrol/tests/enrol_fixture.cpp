#include "enrol_fixture.h"

#include <stdlib.h>

#include "zelk_module.h"

namespace kestrin::enrol::test {

void EnrolRuntime::SetUp()
{
    setenv("XDG_CONFIG_HOME", (m_home.path() + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (m_home.path() + "/system").c_str(), 1);
    setenv("XDG_DATA_HOME", (m_home.path() + "/data").c_str(), 1);
    ASSERT_EQ(ZELK_Initialize(), S_OK);
}

void EnrolRuntime::TearDown()
{
    EXPECT_EQ(ZELK_Finalize(), S_OK);
}

std::wstring Wide(const std::string& s)
{
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        wchar_t w = n == 0 ? c : c & (0x3F >> n);
        for (size_t k = 1; k <= n && i + k < s.size(); ++k)
            w = (w << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(w);
        i += n + 1;
    }
    return out;
}

std::string Narrow(const wchar_t* s)
{
    std::string out;
    for (; s != nullptr && *s != L'\0'; ++s) {
        auto c = static_cast<uint32_t>(*s);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace kestrin::enrol::test
