#include "ini_file.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include "file_io.h"
#include "key_path.h"
#include "plist_tree.h"

namespace kestrin::policy {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view line)
{
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    return line;
}

enum class LineKind { Blank, Comment, Header, Key, Malformed };

struct Parsed {
    LineKind kind;
    std::string_view name;  // section or key name
    size_t valueStart = 0;  // offset of the value in the line (key lines)
};

Parsed Classify(std::string_view line)
{
    std::string_view rest = SkipBlanks(line);
    if (rest.empty())
        return {LineKind::Blank, {}};
    if (rest.front() == ';' || rest.front() == '#')
        return {LineKind::Comment, {}};
    if (rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return {LineKind::Malformed, {}};
        return {LineKind::Header, rest.substr(1, close - 1)};
    }
    size_t equals = rest.find('=');
    if (equals == std::string_view::npos)
        return {LineKind::Malformed, {}};
    std::string_view name = rest.substr(0, equals);
    while (!name.empty() && IsBlank(name.back()))
        name.remove_suffix(1);
    size_t value = static_cast<size_t>(rest.data() - line.data()) + equals + 1;
    while (value < line.size() && IsBlank(line[value]))
        ++value;
    return {LineKind::Key, name, value};
}

// The sub-key of the bound path that a section header names, if any.
bool SubKeyOf(std::string_view header, std::string_view bound, std::string_view* name)
{
    std::string_view rest = header;
    if (bound != "/") {
        if (rest.size() <= bound.size() || !EqualNoCase(rest.substr(0, bound.size()), bound))
            return false;
        char separator = rest[bound.size()];
        if (separator != '/' && separator != '\\')
            return false;
        rest.remove_prefix(bound.size() + 1);
    }
    size_t end = rest.find('/');
    if (end == std::string_view::npos)
        end = rest.find('\\');
    *name = rest.substr(0, end);
    return !name->empty();
}

}  // namespace

void IniFile::Clear()
{
    m_lines.clear();
    m_subKeys.clear();
}

HRESULT IniFile::Read(const std::string& path, const std::string& boundPath)
{
    if (path.empty())
        return S_FALSE;
    Clear();
    std::string bytes;
    HRESULT hr = ReadWholeFile(path, &bytes);
    if (hr != S_OK)
        return E_FAIL;
    bytes += '\n';
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        std::string_view piece(bytes.data() + start, end - start);
        // A CR ends the text of its line.
        size_t cr = piece.find('\r');
        if (cr != std::string_view::npos)
            piece = piece.substr(0, cr);
        m_lines.emplace_back(piece);
        start = end + 1;
        Parsed parsed = Classify(m_lines.back());
        std::string_view name;
        if (parsed.kind != LineKind::Header || !SubKeyOf(parsed.name, boundPath, &name))
            continue;
        bool known = false;
        for (const std::string& k : m_subKeys)
            known = known || EqualNoCase(k, name);
        if (!known)
            m_subKeys.emplace_back(name);
    }
    return S_OK;
}

long IniFile::Select(std::string_view section, std::string_view key, size_t* valueStart) const
{
    size_t i = 0;
    for (; i < m_lines.size(); ++i) {
        Parsed p = Classify(m_lines[i]);
        if (p.kind == LineKind::Header && EqualNoCase(p.name, section))
            break;
    }
    for (++i; i < m_lines.size(); ++i) {
        Parsed p = Classify(m_lines[i]);
        if (p.kind == LineKind::Header)
            return -1;
        if (p.kind == LineKind::Key && EqualNoCase(p.name, key)) {
            *valueStart = p.valueStart;
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool IniFile::Find(std::string_view section, std::string_view key, std::string* value) const
{
    size_t start = 0;
    long line = Select(section, key, &start);
    if (line < 0)
        return false;
    const std::string& text = m_lines[static_cast<size_t>(line)];
    if (start >= text.size())
        return false;
    *value = text.substr(start);
    return true;
}

HRESULT IniFile::Set(std::string_view section, std::string_view key, std::string_view value)
{
    if (value.find_first_of("\r\n") != std::string_view::npos)
        return E_INVALIDARG;
    size_t start = 0;
    long line = Select(section, key, &start);
    if (line < 0)
        return E_FAIL;
    std::string& text = m_lines[static_cast<size_t>(line)];
    if (start < text.size())
        text.resize(start);
    text += value;
    return S_OK;
}

HRESULT IniFile::Write(const std::string& path) const
{
    std::string bytes;
    for (const std::string& line : m_lines) {
        bytes += line;
        bytes += "\r\n";
    }
    mode_t mode = 0600;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    FileLock lock;
    HRESULT hr = lock.Lock(path + ".lock", true);
    if (FAILED(hr))
        return hr;
    return AtomicWrite(path, bytes, mode);
}

uint32_t IniFile::ParseNumber(std::string_view text)
{
    for (const char* yes : {"true", "yes", "ja"}) {
        if (EqualNoCase(text, yes))
            return 1;
    }
    for (const char* no : {"false", "no", "nein"}) {
        if (EqualNoCase(text, no))
            return 0;
    }
    return LeadingInteger(std::string(text).c_str());
}

std::string IniFile::RemoveQuote(std::string_view text)
{
    if (text.size() >= 2) {
        char first = text.front();
        char last = text.back();
        if ((first == '"' && last == '"') || (first == '\'' && last == '\'') || (first == '<' && last == '>')) {
            return std::string(text.substr(1, text.size() - 2));
        }
    }
    return std::string(text);
}

std::string Base64Encode(const void* bytes, size_t length)
{
    std::string out(4 * ((length + 2) / 3), '\0');
    if (length) {
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), static_cast<const unsigned char*>(bytes),
                                static_cast<int>(length));
        out.resize(static_cast<size_t>(n));
    }
    return out;
}

HRESULT Base64Decode(std::string_view text, std::string* bytes)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxPolicyFileSize)
        return E_FAIL;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alphabet =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=' && i + 2 >= text.size()) {
            ++padding;
        } else if (!alphabet || padding) {
            return E_FAIL;
        }
    }
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < padding)
        return E_FAIL;
    out.resize(static_cast<size_t>(n) - padding);
    *bytes = std::move(out);
    return S_OK;
}

}  // namespace kestrin::policy
