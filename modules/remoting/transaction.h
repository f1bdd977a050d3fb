// The remote-call wire format: one request buffer and one reply buffer per
// call, carried by an ITunnel. A request is a 32-bit header (object number |
// method index, or a function number) and the method's arguments; a reply is
// the 32-bit result code and the method's outputs. Integers are big-endian;
// crypto-library values travel as octet strings of their DER encoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire_types.h"
#include "zelk_guid.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {

// The kind of a remoted object: bits 9..6 of its number.
enum ApiType : unsigned char {
    API_PSE = 0,
    API_SLOT = 1,
    API_TOKEN = 2,
    API_TOKENPIN = 3,
    API_TOKENOBJECT = 4,
    API_TOKENOBJECT_DATA = 5,
    API_TOKENOBJECT_CERTIFICATE = 6,
    API_TOKENOBJECT_PUBLICKEY = 7,
    API_TOKENOBJECT_PRIVATEKEY = 8,
    API_TOKENOBJECT_SECRETKEY = 9,
    API_SLOTEVENTS = 10,
    API_IUNKNOWN = 14,
    API_FUNCTION = 15,
};

// Kind × 64 + index; only the index travels, the kind comes from the number.
typedef unsigned int Method;
typedef unsigned int Function;

constexpr unsigned int kMethodIndexMask = 63;
constexpr unsigned int kNumberMask = ~kMethodIndexMask;
constexpr Method METHOD_RELEASE = 2;
constexpr Function FUNCTION_CREATE_BY_NAME = 0;

// The most entries that a count from the other side may ask for.
constexpr uint32_t kMaxWireCount = 4096;

constexpr Method MethodOf(ApiType kind, unsigned int index)
{
    return static_cast<Method>(kind) * 64 + index;
}
constexpr ApiType KindOfNumber(uint32_t number)
{
    return static_cast<ApiType>((number >> 6) & 15);
}

// The codec of one call, never shared between threads. Writes grow the
// buffer through the crypto library's allocator; a write that cannot be made
// is remembered and fails the exchange. Reads answer false when the bytes
// are not there.
class Transaction {
public:
    Transaction() = default;
    virtual ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Init(uint32_t id, Method method);
    void InitFunction(Function function);

    void Write8(uint8_t value);
    void Write32(uint32_t value);
    void WriteRC(HRESULT rc) { Write32(static_cast<uint32_t>(rc)); }
    void WriteBoolean(bool value) { Write8(value ? 1 : 0); }
    void WriteBuffer(const unsigned char* data, size_t n);
    void WriteOctetString(const unsigned char* data, size_t n);
    void WriteOctetString(const OctetString* value);
    void WriteString(const char* text);
    // The identifier's fixed 24-byte image: 64-bit Data1, Data2, Data3 (all
    // little-endian), Data4, four zero bytes.
    void WriteGUID(const GUID& id);
    // The DER encoding of a value as an octet string; NULL as the length 0.
    template <class T>
    void WriteObject(const T* value)
    {
        WriteEncoded(value, WireType<T>::value);
    }

    bool Read8(uint8_t* value);
    bool Read32(uint32_t* value);
    bool ReadRC(HRESULT* rc);
    bool ReadBoolean(bool* value);
    bool ReadBuffer(unsigned char* dst, size_t n);
    // Points into the buffer; valid until the transaction ends or is written.
    bool ReadOctetString(const unsigned char** data, size_t* n);
    bool ReadOctetString(OctetString& view);
    // A copy through the octet-string type that the receiver owns (NULL for
    // the length 0).
    bool ReadOctetString(OctetString** copy);
    bool ReadString(const char** text);
    bool ReadGUID(GUID* id);
    // Decodes the value into *out; the length 0 or a NULL out leaves *out as
    // it was. False when the type refuses the encoding.
    template <class T>
    bool ReadObject(T** out)
    {
        return ReadDecoded(reinterpret_cast<void**>(out), WireType<T>::value);
    }

    // The kind bits of the header without moving; false under 4 bytes.
    bool PeekApiType(ApiType& kind) const;
    // id = header >> 10 (the counter), method = header & 0x3FF.
    bool ReadIdMsg(uint32_t& id, Method& method);
    bool ReadFunction(Function& function);

    // Sends the request and takes the reply for reading. Without a tunnel
    // 0x8007006D; a write that failed is answered without sending.
    HRESULT Execute(ITunnel* tunnel);

    // The buffer carries secrets: it is wiped before it is freed or moved.
    void SetSensitive() { m_sensitive = true; }
    // This request becomes a copy of `other`'s written bytes.
    void CopyRequest(const Transaction& other);

    // Forgets what was written (the buffer stays).
    void Clear();
    HRESULT WriteError() const { return m_writeError; }
    const unsigned char* Data() const { return m_buffer; }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }
    size_t Remaining() const { return m_remaining; }

protected:
    bool Reserve(size_t n);
    void WriteEncoded(const void* value, unsigned int type);
    bool ReadDecoded(void** out, unsigned int type);
    void FreeBuffer();

    unsigned char* m_buffer = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
    const unsigned char* m_read = nullptr;
    size_t m_remaining = 0;
    HRESULT m_writeError = S_OK;
    bool m_sensitive = false;
};

// A transaction that serves one request on the service side: reads the
// request in place and writes the reply into the caller's buffer (which may
// be the request's own), handing the buffer and the reply's length back when
// it ends.
class TransactionStub : public Transaction {
public:
    TransactionStub(unsigned char* request, size_t length, unsigned char** reply, unsigned long* replyLength);
    ~TransactionStub() override;

    // Nothing is handed back and the caller's buffer is not touched.
    void Detach();
    // Overwrites the request bytes (they carried a secret).
    void WipeRequest();

private:
    unsigned char* m_request;
    size_t m_requestLength;
    unsigned char** m_reply;
    unsigned long* m_replyLength;
};

}  // namespace ZELK::PSESVC
