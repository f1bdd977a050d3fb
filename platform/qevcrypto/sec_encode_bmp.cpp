// Slot 6 of "SEC_ENCODE_1": Latin-1 text to a BMPString's contents.
#include <cstring>

#include "ossl/ossl_bmp.h"
#include "qev_encode_bmp.h"
#include "qev_tables.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

// Friendly names and the like; a longer text is refused.
constexpr size_t kMaxText = 1u << 16;

HRESULT sec_encode_latin1_to_bmp(const char* text, OctetString** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (text == nullptr)
        return E_INVALIDARG;
    size_t length = strnlen(text, kMaxText + 1);
    if (length > kMaxText)
        return E_INVALIDARG;
    ossl::Bytes bmp = ossl::Latin1ToBmp(std::string_view(text, length));
    *out = values::NewOctets(bmp.data(), bmp.size());
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

QevSlotFill s_fill("SEC_ENCODE_1", SEC_ENCODE_SLOT_LATIN1_TO_BMP, qev_slot(&sec_encode_latin1_to_bmp));

}  // namespace
