// The crypto library's key converter on arbitrary bytes: the first byte picks
// the import (key material under the password "secret", PEM or DER or PKCS#7
// certificates, one certificate), a second import follows at the first
// "\n=====\n", and every output is then asked for. Nothing may crash, leak or
// read out of bounds, and a size query must agree with the copy.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "key_converter.h"

namespace {

constexpr char kSeparator[] = "\n=====\n";

void Import(KeyConverter* converter, uint8_t kind, const std::string& bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    switch (kind % 3) {
    case 0:
        converter->importKeyMaterial(data, bytes.size(), "secret", 6);
        break;
    case 1:
        converter->importCertificates(data, bytes.size());
        break;
    default:
        converter->addCertificate(data, bytes.size());
        break;
    }
}

template <class Call>
void Fetch(Call call)
{
    unsigned long length = 0;
    if (call(nullptr, &length) != S_OK || length == 0)
        return;
    std::vector<unsigned char> buffer(length);
    unsigned long copied = length;
    if (call(buffer.data(), &copied) != S_OK || copied != length)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    KeyConverter* converter = nullptr;
    if (kestrin::qevcrypto::CreateKeyConverter(&converter) != S_OK)
        __builtin_trap();
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = input.find(kSeparator);
    Import(converter, data[0], input.substr(0, split));
    if (split != std::string::npos)
        Import(converter, data[0] / 3, input.substr(split + sizeof kSeparator - 1));
    for (unsigned long i = 0; i < 4; ++i) {
        Fetch([&](unsigned char* b, unsigned long* n) { return converter->getChainCertificate(i, b, n); });
        Fetch([&](unsigned char* b, unsigned long* n) { return converter->getTrustedCertificate(i, b, n); });
    }
    Fetch([&](unsigned char* b, unsigned long* n) {
        return converter->reportMissingCertificate(reinterpret_cast<char*>(b), n);
    });
    converter->Release();
    return 0;
}
