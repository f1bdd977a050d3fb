#include "transaction.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "zelk_alloc.h"

namespace ZELK::PSESVC {

Transaction::~Transaction()
{
    FreeBuffer();
}

void Transaction::FreeBuffer()
{
    if (m_buffer == nullptr)
        return;
    if (m_sensitive)
        OPENSSL_cleanse(m_buffer, m_capacity);
    sec_free(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
}

// Growth by the larger of n, 32 and the capacity, always keeping one spare
// byte: 28 + 4 bytes in 32 give 64, and long requests grow geometrically.
bool Transaction::Reserve(size_t n)
{
    if (m_writeError < 0)
        return false;
    if (m_length + n < m_capacity)
        return true;
    size_t capacity = m_capacity + std::max({n, size_t {32}, m_capacity});
    unsigned char* grown = nullptr;
    if (m_sensitive) {
        grown = static_cast<unsigned char*>(sec_malloc(capacity));
        if (grown != nullptr && m_buffer != nullptr) {
            std::memcpy(grown, m_buffer, m_length);
            FreeBuffer();
        }
    } else {
        grown = static_cast<unsigned char*>(sec_realloc(m_buffer, capacity));
    }
    if (grown == nullptr) {
        m_writeError = E_FAIL;
        return false;
    }
    m_buffer = grown;
    m_capacity = capacity;
    return true;
}

void Transaction::Clear()
{
    m_length = 0;
    m_read = nullptr;
    m_remaining = 0;
    m_writeError = S_OK;
}

void Transaction::Init(uint32_t id, Method method)
{
    Clear();
    Write32(id | (method & kMethodIndexMask));
}

void Transaction::InitFunction(Function function)
{
    Clear();
    Write32((function << 10) | 0x3C0);
}

void Transaction::Write8(uint8_t value)
{
    WriteBuffer(&value, 1);
}

void Transaction::Write32(uint32_t value)
{
    unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                              static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    WriteBuffer(bytes, 4);
}

void Transaction::WriteBuffer(const unsigned char* data, size_t n)
{
    if (n == 0 || !Reserve(n))
        return;
    std::memcpy(m_buffer + m_length, data, n);
    m_length += n;
}

void Transaction::WriteOctetString(const unsigned char* data, size_t n)
{
    if (n > UINT32_MAX) {
        m_writeError = E_INVALIDARG;
        return;
    }
    Write32(static_cast<uint32_t>(n));
    WriteBuffer(data, n);
}

void Transaction::WriteOctetString(const OctetString* value)
{
    if (value == nullptr)
        Write32(0);
    else
        WriteOctetString(value->data, value->length);
}

void Transaction::WriteString(const char* text)
{
    if (text == nullptr) {
        Write8(0);
        return;
    }
    Write8(1);
    WriteBuffer(reinterpret_cast<const unsigned char*>(text), std::strlen(text) + 1);
}

void Transaction::WriteGUID(const GUID& id)
{
    unsigned char image[24] = {};
    for (int i = 0; i < 8; ++i)
        image[i] = static_cast<unsigned char>(id.Data1 >> (8 * i));
    image[8] = static_cast<unsigned char>(id.Data2);
    image[9] = static_cast<unsigned char>(id.Data2 >> 8);
    image[10] = static_cast<unsigned char>(id.Data3);
    image[11] = static_cast<unsigned char>(id.Data3 >> 8);
    std::memcpy(image + 12, id.Data4, 8);
    WriteBuffer(image, sizeof(image));
}

void Transaction::WriteEncoded(const void* value, unsigned int type)
{
    if (value == nullptr) {
        Write32(0);
        return;
    }
    const SEC_TYPE_TABLE* table = WireTypeTable(type);
    if (table == nullptr || table->encode == nullptr) {
        m_writeError = E_NOTIMPL;
        return;
    }
    OctetString* der = nullptr;
    HRESULT hr = table->encode(value, &der);
    if (hr < 0) {
        m_writeError = hr;
    } else {
        WriteOctetString(der);
    }
    WireFree(&der);
}

bool Transaction::Read8(uint8_t* value)
{
    return ReadBuffer(value, 1);
}

bool Transaction::Read32(uint32_t* value)
{
    unsigned char bytes[4];
    if (!ReadBuffer(bytes, 4))
        return false;
    *value = (uint32_t {bytes[0]} << 24) | (uint32_t {bytes[1]} << 16) | (uint32_t {bytes[2]} << 8) | bytes[3];
    return true;
}

bool Transaction::ReadRC(HRESULT* rc)
{
    uint32_t value = 0;
    if (!Read32(&value))
        return false;
    *rc = static_cast<HRESULT>(value);
    return true;
}

bool Transaction::ReadBoolean(bool* value)
{
    uint8_t byte = 0;
    if (!Read8(&byte))
        return false;
    *value = byte != 0;
    return true;
}

bool Transaction::ReadBuffer(unsigned char* dst, size_t n)
{
    if (m_read == nullptr || m_remaining < n)
        return false;
    std::memcpy(dst, m_read, n);
    m_read += n;
    m_remaining -= n;
    return true;
}

bool Transaction::ReadOctetString(const unsigned char** data, size_t* n)
{
    uint32_t length = 0;
    if (!Read32(&length) || m_remaining < length)
        return false;
    *data = m_read;
    *n = length;
    m_read += length;
    m_remaining -= length;
    return true;
}

bool Transaction::ReadOctetString(OctetString& view)
{
    const unsigned char* data = nullptr;
    size_t n = 0;
    if (!ReadOctetString(&data, &n))
        return false;
    view.length = n;
    view.data = const_cast<unsigned char*>(data);
    return true;
}

bool Transaction::ReadOctetString(OctetString** copy)
{
    OctetString view {};
    if (!ReadOctetString(view))
        return false;
    if (copy == nullptr)
        return true;
    *copy = nullptr;
    if (view.length == 0)
        return true;
    const SEC_TYPE_TABLE* table = WireTypeTable(SEC_TYPE_OctetString);
    if (table == nullptr || table->copy == nullptr)
        return false;
    void* made = nullptr;
    if (table->copy(&view, &made) < 0 || made == nullptr)
        return false;
    *copy = static_cast<OctetString*>(made);
    return true;
}

bool Transaction::ReadString(const char** text)
{
    uint8_t present = 0;
    if (!Read8(&present))
        return false;
    if (present == 0) {
        *text = nullptr;
        return true;
    }
    const void* end = std::memchr(m_read, 0, m_remaining);
    if (end == nullptr)
        return false;
    size_t n = static_cast<const unsigned char*>(end) - m_read + 1;
    *text = reinterpret_cast<const char*>(m_read);
    m_read += n;
    m_remaining -= n;
    return true;
}

bool Transaction::ReadGUID(GUID* id)
{
    unsigned char image[24];
    if (!ReadBuffer(image, sizeof(image)))
        return false;
    GUID value {};
    for (int i = 0; i < 8; ++i)
        value.Data1 |= uint64_t {image[i]} << (8 * i);
    value.Data2 = static_cast<uint16_t>(image[8] | (image[9] << 8));
    value.Data3 = static_cast<uint16_t>(image[10] | (image[11] << 8));
    std::memcpy(value.Data4, image + 12, 8);
    std::memcpy(value.Reserved, image + 20, 4);
    *id = value;
    return true;
}

bool Transaction::ReadDecoded(void** out, unsigned int type)
{
    OctetString der {};
    if (!ReadOctetString(der))
        return false;
    if (der.length == 0 || out == nullptr)
        return true;
    const SEC_TYPE_TABLE* table = WireTypeTable(type);
    if (table == nullptr || table->decode == nullptr)
        return false;
    void* value = nullptr;
    if (table->decode(&der, &value) < 0)
        return false;
    *out = value;
    return true;
}

bool Transaction::PeekApiType(ApiType& kind) const
{
    if (m_read == nullptr || m_remaining < 4)
        return false;
    kind = static_cast<ApiType>((m_read[2] << 2 | m_read[3] >> 6) & 15);
    return true;
}

bool Transaction::ReadIdMsg(uint32_t& id, Method& method)
{
    uint32_t header = 0;
    if (!Read32(&header))
        return false;
    id = header >> 10;
    method = header & 0x3FF;
    return true;
}

bool Transaction::ReadFunction(Function& function)
{
    uint32_t header = 0;
    if (!Read32(&header))
        return false;
    function = header >> 10;
    return true;
}

HRESULT Transaction::Execute(ITunnel* tunnel)
{
    if (m_writeError < 0)
        return m_writeError;
    if (tunnel == nullptr)
        return E_BROKEN_PIPE;
    unsigned char* reply = m_buffer;
    unsigned long replyLength = m_capacity;
    HRESULT hr = tunnel->Transact(m_buffer, m_length, &reply, &replyLength);
    if (reply != nullptr && reply != m_buffer) {
        m_buffer = reply;
        m_capacity = replyLength;
    } else if (replyLength > m_capacity) {
        m_capacity = replyLength;
    }
    m_length = 0;
    m_read = m_buffer;
    m_remaining = reply != nullptr ? std::min<size_t>(replyLength, m_capacity) : 0;
    return hr;
}

void Transaction::CopyRequest(const Transaction& other)
{
    Clear();
    if (other.m_sensitive)
        SetSensitive();
    WriteBuffer(other.m_buffer, other.m_length);
    if (other.m_writeError < 0)
        m_writeError = other.m_writeError;
}

TransactionStub::TransactionStub(unsigned char* request, size_t length, unsigned char** reply,
                                 unsigned long* replyLength)
    : m_request(request), m_requestLength(length), m_reply(reply), m_replyLength(replyLength)
{
    m_read = request;
    m_remaining = request != nullptr ? length : 0;
    if (reply != nullptr && replyLength != nullptr && *reply != nullptr && *replyLength != 0) {
        m_buffer = *reply;
        m_capacity = *replyLength;
    }
}

TransactionStub::~TransactionStub()
{
    if (m_reply != nullptr && m_replyLength != nullptr) {
        *m_reply = m_buffer;
        *m_replyLength = m_length;
        m_buffer = nullptr;
    }
}

void TransactionStub::Detach()
{
    if (m_reply != nullptr && m_buffer == *m_reply)
        m_buffer = nullptr;
    m_capacity = 0;
    m_reply = nullptr;
    m_replyLength = nullptr;
}

void TransactionStub::WipeRequest()
{
    if (m_request != nullptr && m_requestLength != 0)
        OPENSSL_cleanse(m_request, m_requestLength);
    m_read = nullptr;
    m_remaining = 0;
}

}  // namespace ZELK::PSESVC
