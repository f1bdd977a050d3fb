// Small text helpers of the module.
#pragma once

#include "zelk_resloader.h"

namespace kestrin::resloader {

// *out = the UTF-8 text converted to wide (NULL for NULL); 0x8007000E when
// the conversion yields nothing.
inline HRESULT SetWide(ZELK_RES_TEXT* out, const char* text)
{
    out->Free();
    if (text == nullptr)
        return S_OK;
    HRESULT hr = String_Copy(text, &*out);
    if (FAILED(hr) || static_cast<const wchar_t*>(*out) == nullptr)
        return E_OUTOFMEMORY;
    return S_OK;
}

}  // namespace kestrin::resloader
