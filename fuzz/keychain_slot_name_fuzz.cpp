// The parser of "tokkeychain:" slot names: a name of one identity must give
// back its own digits, every other accepted name holds all identities.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "keychain_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrin::qevcrypto::keychain;
    std::string_view name(reinterpret_cast<const char*>(data), size);
    SlotName parsed;
    if (FAILED(ParseSlotName(name, &parsed)))
        return 0;
    if (!name.starts_with(kSlotPrefix) || name == kNoTokenName)
        __builtin_trap();
    if (!parsed.all) {
        std::string digits(name.substr(name.size() - 40));
        for (char& c : digits)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (digits != HexLower(parsed.sha1.data(), parsed.sha1.size()))
            __builtin_trap();
    }
    return 0;
}
