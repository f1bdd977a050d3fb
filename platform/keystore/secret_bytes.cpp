// Wiping byte holder for secrets handed out of the store.
#include <openssl/crypto.h>

#include "keystore.h"

namespace kestrin::keystore {

SecretBytes::~SecretBytes()
{
    Clear();
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept
{
    if (this != &other) {
        Clear();
        bytes_ = std::move(other.bytes_);
    }
    return *this;
}

HRESULT SecretBytes::Assign(std::span<const uint8_t> bytes)
{
    Clear();
    try {
        bytes_.reserve(bytes.size());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    bytes_.assign(bytes.begin(), bytes.end());
    return S_OK;
}

void SecretBytes::Clear()
{
    if (bytes_.capacity() != 0)
        OPENSSL_cleanse(bytes_.data(), bytes_.capacity());
    bytes_.clear();
    bytes_.shrink_to_fit();
}

}  // namespace kestrin::keystore
