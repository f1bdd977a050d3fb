// The byte-transport seam between the socket servers and clients, the
// remoting stub, the web adapter and the service core. Every operation
// returns a signed 32-bit result code.
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_ITunnel, 0x962AD4A3, 0x455F, 0x4F08, 0x92, 0x9A, 0x65, 0x0F, 0xDA, 0x2F, 0x40, 0x89);
ZELK_DEFINE_GUID(IID_ITunnelInfo, 0xADECF534, 0xFD65, 0x4D32, 0xB8, 0xDB, 0x84, 0x35, 0xEB, 0xE2, 0x40, 0x79);
ZELK_DEFINE_GUID(IID_ITunnelSource, 0x762D9D66, 0xF0DF, 0x4476, 0xB6, 0xCE, 0xE1, 0x9F, 0xF0, 0x22, 0x19, 0xF7);
ZELK_DEFINE_GUID(IID_IPSESVCSession, 0xC06AE745, 0x606F, 0x4FB6, 0xAE, 0xBC, 0xD4, 0x52, 0xE7, 0x93, 0xF7, 0x09);
ZELK_DEFINE_GUID(IID_ITunnelCallback, 0x0E10711C, 0xF0E6, 0x43CA, 0xB0, 0xD2, 0x65, 0x28, 0xA2, 0x5B, 0xD4, 0xC3);
ZELK_DEFINE_GUID(IID_ITunnelControl, 0x3B1F6C2E, 0x8D47, 0x4A95, 0x9E, 0x12, 0x5C, 0x7A, 0x04, 0xD8, 0x61, 0xB3);

// One request and its reply. `*out` is a buffer of the crypto library's
// allocator with capacity `*outLength` (both may be empty); the callee writes
// the reply there or replaces the buffer through the same allocator, and
// stores the reply's length in `*outLength`. The caller owns what it gets
// back. Results: 0 reply (possibly empty), 1 more input needed (raw TCP
// connections only), negative failure; 0x8007006D: the tunnel is broken.
class ITunnel : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITunnel; }

    virtual HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out,
                             unsigned long* outLength) = 0;
    virtual HRESULT Disconnect() = 0;
};

// A text describing the connection, from the crypto library's allocator.
class ITunnelInfo : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITunnelInfo; }

    virtual HRESULT GetType(char** type) = 0;
};

// A server attached to a tunnel or to a class factory that makes one tunnel
// per session or connection.
class ITunnelSource : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITunnelSource; }

    virtual HRESULT Connect(IUnknown* source) = 0;
    virtual HRESULT Disconnect(IUnknown* source) = 0;
};

// Moves the service's socket and process to another user.
class IPSESVCSession : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IPSESVCSession; }

    virtual HRESULT UserSwitch(const char* user) = 0;
};

// Session notices of a framed socket server, answered by the factory that
// makes its tunnels. `process` is the peer's process name, `pid` its id.
class ITunnelCallback : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITunnelCallback; }

    virtual HRESULT SetTunnelSource(IUnknown* source) = 0;
    virtual HRESULT Reset(ITunnel* tunnel) = 0;
    virtual HRESULT ClientConnect(const char* process, unsigned int pid) = 0;
    virtual HRESULT ClientDisconnect(const char* process, unsigned int pid) = 0;
    virtual HRESULT ClientActive(const char* process, unsigned int pid) = 0;
};

// Properties between the raw TCP server, its source and its tunnels.
class ITunnelControl : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ITunnelControl; }

    // True when the connection is to be closed after the reply just sent.
    virtual bool CloseAfterTransact() = 0;
    virtual HRESULT GetProperties(SECAttribute* attributes) = 0;
    virtual HRESULT SetProperties(SECAttribute* attributes) = 0;
};

// The local HTTPS port: an integer value (see ZELK_AttrSetInteger).
constexpr uint32_t ATTR_LOCAL_PORT = 0xFF000001u;
// The peer's process id: the value points at an unsigned 32-bit id, valid
// during the SetProperties call.
constexpr uint32_t ATTR_CLIENT_PID = 0xFF000002u;

// An integer value is carried in the value pointer itself, with no type
// table and nothing owned.
inline void ZELK_AttrSetInteger(SECAttribute* attribute, long value)
{
    attribute->value = reinterpret_cast<void*>(static_cast<intptr_t>(value));
    attribute->type = nullptr;
    attribute->owned = 0;
    attribute->answered = 1;
}

// The integer of the first answered attribute `id` in the chain; false when
// none carries one.
inline bool ZELK_AttrGetInteger(const SECAttribute* chain, uint32_t id, long* value)
{
    for (const SECAttribute* a = chain; a != nullptr; a = a->next) {
        if (a->id == id && a->answered) {
            *value = static_cast<long>(reinterpret_cast<intptr_t>(a->value));
            return true;
        }
    }
    return false;
}
