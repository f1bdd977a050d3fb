// Slot 6 of "SEC_ENCODE_1": Latin-1 text to the contents of a BMPString, the
// form of a PKCS#12 friendly name.
#pragma once

#include "qevcrypto.h"

extern "C" typedef HRESULT (*SEC_LATIN1_TO_BMP_FN)(const char* text, OctetString** out);

constexpr unsigned int SEC_ENCODE_SLOT_LATIN1_TO_BMP = 6;

// The slot of a bound "SEC_ENCODE_1" (tables are arrays of slots).
inline SEC_LATIN1_TO_BMP_FN SEC_Encode_Latin1ToBmp(const API_COMMON* encode)
{
    if (encode == nullptr)
        return nullptr;
    return reinterpret_cast<SEC_LATIN1_TO_BMP_FN>(
        reinterpret_cast<void* const*>(encode)[SEC_ENCODE_SLOT_LATIN1_TO_BMP]);
}
