// The policy store's INI file parser fed arbitrary bytes: the file's one read
// answers the input. Every section and key found is looked up and its value
// read in each way the store reads values; the lines must survive being
// written and read again (plus the empty line after the last line break).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "file_io.h"
#include "ini_file.h"

namespace {
std::string s_file;
}  // namespace

// The file layer under the parser: reads answer the fuzz input, nothing is
// ever written.
namespace kestrin::policy {
HRESULT ReadWholeFile(const std::string&, std::string* out)
{
    *out = s_file;
    return S_OK;
}
HRESULT AtomicWrite(const std::string&, const std::string&, mode_t)
{
    return E_FAIL;
}
FileLock::~FileLock() = default;
HRESULT FileLock::Lock(const std::string&, bool)
{
    return E_FAIL;
}
}  // namespace kestrin::policy

using kestrin::policy::IniFile;

namespace {

std::string Trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

void ReadValues(IniFile& ini)
{
    std::string section;
    std::vector<std::string> lines = ini.Lines();
    for (const std::string& line : lines) {
        std::string text = Trimmed(line);
        if (!text.empty() && text[0] == '[') {
            section = text.substr(1, text.find(']') == std::string::npos ? 0 : text.find(']') - 1);
            continue;
        }
        size_t equals = text.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = Trimmed(text.substr(0, equals));
        std::string value;
        if (ini.Find(section, key, &value)) {
            IniFile::ParseNumber(value);
            std::string bytes;
            kestrin::policy::Base64Decode(IniFile::RemoveQuote(value), &bytes);
        }
        ini.Set(section, key, "1");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    s_file.assign(reinterpret_cast<const char*>(data), size);
    IniFile ini;
    if (ini.Read("policy.ini", "/") != S_OK)
        abort();
    std::vector<std::string> lines = ini.Lines();
    std::vector<std::string> subKeys = ini.SubKeys();
    for (const std::string& subKey : subKeys) {
        IniFile below;
        below.Read("policy.ini", subKey);
    }

    std::string written;
    for (const std::string& line : lines)
        written += line + "\r\n";
    s_file = written;
    IniFile again;
    again.Read("policy.ini", "/");
    lines.emplace_back();
    if (again.Lines() != lines || again.SubKeys() != subKeys)
        abort();

    ReadValues(ini);
    return 0;
}
