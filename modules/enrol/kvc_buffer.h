// Byte buffers of the embedding containers: a length, the bytes and a
// capacity, from the crypto library's allocator. The wiping kind overwrites
// its bytes with zeros before it gives them back (key material).
#pragma once

#include <string.h>

#include "qev_results.h"
#include "qevcrypto.h"
#include "zelk_alloc.h"

namespace kestrin::enrol {

template <bool Wipe>
class AuxByteBufferImpl {
public:
    AuxByteBufferImpl() = default;
    ~AuxByteBufferImpl() { Free(); }
    AuxByteBufferImpl(const AuxByteBufferImpl&) = delete;
    AuxByteBufferImpl& operator=(const AuxByteBufferImpl&) = delete;

    // Room for `size` bytes, which the length then names (the in-out length
    // of the fetch that follows a size query); the content is not carried over.
    HRESULT Reserve(unsigned long size)
    {
        if (m_capacity < size || m_data == nullptr) {
            Free();
            m_data = static_cast<unsigned char*>(sec_malloc(size > 0 ? size : 1));
            if (m_data == nullptr)
                return E_COMMON_NOMEMORY;
            m_capacity = size;
        }
        m_length = size;
        return S_OK;
    }

    void Free()
    {
        if (m_data != nullptr && Wipe)
            explicit_bzero(m_data, m_capacity);
        sec_free(m_data);
        m_data = nullptr;
        m_capacity = 0;
        m_length = 0;
    }

    unsigned char* Data() { return m_data; }
    unsigned long Capacity() const { return m_capacity; }
    // The length as an in-out variable of a size-query call.
    unsigned long* Length() { return &m_length; }
    OctetString Octets() const { return OctetString {m_length, m_data}; }

private:
    unsigned long m_length = 0;
    unsigned char* m_data = nullptr;
    unsigned long m_capacity = 0;
};

}  // namespace kestrin::enrol
