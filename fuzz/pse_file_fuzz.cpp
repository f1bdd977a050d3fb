// The reader of the PSE file "pse.zip" on arbitrary bytes, without the
// password: the unencrypted safes, their bags, attributes and the trusted
// list are read; nothing may crash, leak or read out of bounds.
#include <cstddef>
#include <cstdint>

#include "pse_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kestrin::qevcrypto::filepse::PseImage image;
    HRESULT hr = kestrin::qevcrypto::filepse::ParsePseFile(data, size, nullptr, 0, &image);
    if (FAILED(hr) && (!image.certificates.empty() || !image.keys.empty() || !image.trusted.empty()))
        __builtin_trap();
    return 0;
}
