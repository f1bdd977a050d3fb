#include "keychain_name.h"

namespace kestrin::qevcrypto::keychain {
namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

HRESULT ParseSlotName(std::string_view name, SlotName* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = SlotName {};
    if (name.size() > kMaxSlotName || name.find('\0') != std::string_view::npos || !name.starts_with(kSlotPrefix)
        || name == kNoTokenName) {
        return E_INVALIDARG;
    }
    std::string_view rest = name.substr(kSlotPrefix.size());
    constexpr std::string_view kCert = "cert=";
    if (!StartsWithNoCase(rest, kCert))
        return S_OK;
    std::string_view hex = rest.substr(kCert.size());
    if (hex.size() != 2 * out->sha1.size())
        return E_INVALIDARG;
    SlotName parsed;
    for (size_t i = 0; i < parsed.sha1.size(); ++i) {
        int hi = HexDigit(hex[2 * i]);
        int lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return E_INVALIDARG;
        parsed.sha1[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    parsed.all = false;
    *out = parsed;
    return S_OK;
}

std::string HexLower(const uint8_t* bytes, size_t length)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

}  // namespace kestrin::qevcrypto::keychain
