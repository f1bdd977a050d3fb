// The INI-style policy file: sections named by key path, "name = value" lines,
// comments with ";" or "#". Lines the store does not understand are kept as
// they are and written back; the file is rewritten with CR LF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zelk_result.h"

namespace kestrin::policy {

class IniFile {
public:
    // Reads `path` and collects the sub-key names of `boundPath`. 1 for an empty
    // path (nothing read); 0x80004005 when the file cannot be read (the store is
    // then empty).
    HRESULT Read(const std::string& path, const std::string& boundPath);
    void Clear();

    // The value of `key` in `section`: true with the value when the key holds a
    // non-blank value.
    bool Find(std::string_view section, std::string_view key, std::string* value) const;

    // Replaces the value of a key the section holds already. 0x80004005 when the
    // section or key is missing; 0x80000003 for a value that would break the
    // line (CR or LF).
    HRESULT Set(std::string_view section, std::string_view key, std::string_view value);

    // Replaces the file with the lines, CR LF after each, through a temporary
    // file renamed under an exclusive lock on a lock file beside it.
    HRESULT Write(const std::string& path) const;

    const std::vector<std::string>& SubKeys() const { return m_subKeys; }
    const std::vector<std::string>& Lines() const { return m_lines; }

    // Readings of a value: "true", "yes", "ja" are 1, "false", "no", "nein" 0,
    // anything else the decimal integer it starts with.
    static uint32_t ParseNumber(std::string_view text);
    // One pair of enclosing double quotes, single quotes or angle brackets removed.
    static std::string RemoveQuote(std::string_view text);

private:
    long Select(std::string_view section, std::string_view key, size_t* valueStart) const;

    std::vector<std::string> m_lines;
    std::vector<std::string> m_subKeys;
};

// Base64 of the INI store's binary values, on one line.
std::string Base64Encode(const void* bytes, size_t length);
// Strict: 0x80004005 for anything that is not whole, padded Base64.
HRESULT Base64Decode(std::string_view text, std::string* bytes);

}  // namespace kestrin::policy
