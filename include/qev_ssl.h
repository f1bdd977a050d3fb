// The crypto library's TLS context as a security context hands it out, and
// the TLS codes its connections report.
#pragma once

#include "qevcrypto.h"
#include "zelk_common_fl.h"
#include "zelk_result.h"

// The server's certificate chain ends in a root that nothing trusts.
constexpr HRESULT E_SSL_UNTRUSTED = ZELK_RC(0xA0600203);
// The server ended the handshake with the alert access_denied.
constexpr HRESULT E_SSL_ACCESSDENIED = ZELK_RC(0xA0600266);

// The setting applied to a fresh TLS context: on a client context the
// library's client defaults (TLS 1.2 or newer, peer verification on); on a
// server context the server defaults (TLS 1.2 with ECDHE and AEAD ciphers or
// TLS 1.3, no compression, session cache and tickets).
constexpr unsigned int SSL_SETTING_CLIENT_DEFAULTS = 134;
constexpr unsigned int SSL_SETTING_SERVER_DEFAULTS = 134;

// "SEC_SSL_1" slot 2: the version argument and mode of a server context that
// speaks TLS 1.2 and 1.3 only.
constexpr unsigned int SSL_VERSION_TLS12_AND_LATER = 0x300;
constexpr unsigned int SSL_MODE_SERVER = 3;

// Option bit of a server context: a client's renegotiation is refused. A
// client context keeps it without effect.
constexpr unsigned long SSL_OPTION_NO_RENEGOTIATION = 0x8;

// Error states of a TLS connection (slot 87), the library's own codes.
constexpr int SSL_STATE_NONE = 0;
constexpr int SSL_STATE_FATAL = 1;
constexpr int SSL_STATE_CLOSE_NOTIFY = 2;
constexpr int SSL_STATE_WANTS_INPUT = 4;
constexpr int SSL_STATE_WANTS_OUTPUT = 5;

class ASC;
class bio;
class ssl_connection;

// Slots 7 to 56 belong to the library's own TLS work and answer 0x80000001;
// the system uses only slot 57.
#define QEV_SSL_RESERVED_SLOT(n)                                                                                       \
    virtual HRESULT reserved##n()                                                                                      \
    {                                                                                                                  \
        return E_NOTIMPL;                                                                                              \
    }
#define QEV_SSL_RESERVED_TEN(d)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##0)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##1)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##2)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##3)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##4)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##5)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##6)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##7)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##8)                                                                                        \
    QEV_SSL_RESERVED_SLOT(d##9)

class ssl_context : public COMMON_FL_TEMPLATE<ssl_context> {
public:
    QEV_SSL_RESERVED_SLOT(7)
    QEV_SSL_RESERVED_SLOT(8)
    QEV_SSL_RESERVED_SLOT(9)
    QEV_SSL_RESERVED_SLOT(10)
    QEV_SSL_RESERVED_SLOT(11)
    QEV_SSL_RESERVED_SLOT(12)
    QEV_SSL_RESERVED_SLOT(13)
    QEV_SSL_RESERVED_SLOT(14)
    QEV_SSL_RESERVED_SLOT(15)
    QEV_SSL_RESERVED_SLOT(16)
    // 17: the option word (0 on a new context).
    virtual HRESULT GetOptions(unsigned long* options) = 0;
    QEV_SSL_RESERVED_SLOT(18)
    QEV_SSL_RESERVED_SLOT(19)
    QEV_SSL_RESERVED_TEN(2)
    QEV_SSL_RESERVED_TEN(3)
    QEV_SSL_RESERVED_SLOT(40)
    QEV_SSL_RESERVED_SLOT(41)
    // 42: a server context takes the identity of the security context (its
    // certificate, the chain and the key); a key that does not match the
    // certificate fails. `flags` must be 0.
    virtual HRESULT UseSecurityContext(ASC* asc, int flags) = 0;
    QEV_SSL_RESERVED_SLOT(43)
    QEV_SSL_RESERVED_SLOT(44)
    QEV_SSL_RESERVED_SLOT(45)
    QEV_SSL_RESERVED_SLOT(46)
    QEV_SSL_RESERVED_SLOT(47)
    QEV_SSL_RESERVED_SLOT(48)
    // 49: replaces the option word; a server context honours
    // SSL_OPTION_NO_RENEGOTIATION and keeps the other bits without effect. A
    // client context (a security context's, one per security context) keeps
    // the word without effect: TLS 1.2 or newer and the peer's verification
    // stay.
    virtual HRESULT SetOptions(unsigned long options) = 0;
    QEV_SSL_RESERVED_SLOT(50)
    QEV_SSL_RESERVED_SLOT(51)
    QEV_SSL_RESERVED_SLOT(52)
    QEV_SSL_RESERVED_SLOT(53)
    QEV_SSL_RESERVED_SLOT(54)
    // 55: a new server-side connection, which holds a reference on this context.
    virtual HRESULT NewConnection(ssl_connection** out) = 0;
    QEV_SSL_RESERVED_SLOT(56)
    // 57: applies one setting (SSL_SETTING_CLIENT_DEFAULTS or
    // SSL_SETTING_SERVER_DEFAULTS, by the context's kind).
    virtual HRESULT Initialize(unsigned int setting) = 0;

protected:
    ~ssl_context() = default;
};

// One TLS connection of a server context over two memory channels.
class ssl_connection : public COMMON_FL_TEMPLATE<ssl_connection> {
public:
    QEV_SSL_RESERVED_SLOT(7)
    QEV_SSL_RESERVED_SLOT(8)
    QEV_SSL_RESERVED_SLOT(9)
    QEV_SSL_RESERVED_TEN(1)
    QEV_SSL_RESERVED_TEN(2)
    QEV_SSL_RESERVED_TEN(3)
    QEV_SSL_RESERVED_TEN(4)
    QEV_SSL_RESERVED_SLOT(50)
    QEV_SSL_RESERVED_SLOT(51)
    QEV_SSL_RESERVED_SLOT(52)
    QEV_SSL_RESERVED_SLOT(53)
    QEV_SSL_RESERVED_SLOT(54)
    // 55: plaintext into `buffer`, running the handshake first: the count,
    // or 0 or less when there is none now (see GetErrorState).
    virtual int Read(void* buffer, int room) = 0;
    QEV_SSL_RESERVED_SLOT(56)
    QEV_SSL_RESERVED_SLOT(57)
    QEV_SSL_RESERVED_SLOT(58)
    // 59: the connection reads the peer's bytes from `in` and writes its own
    // into `out`, taking one reference on each.
    virtual HRESULT SetBIOs(bio* in, bio* out) = 0;
    QEV_SSL_RESERVED_TEN(6)
    QEV_SSL_RESERVED_SLOT(70)
    QEV_SSL_RESERVED_SLOT(71)
    QEV_SSL_RESERVED_SLOT(72)
    QEV_SSL_RESERVED_SLOT(73)
    QEV_SSL_RESERVED_SLOT(74)
    QEV_SSL_RESERVED_SLOT(75)
    QEV_SSL_RESERVED_SLOT(76)
    QEV_SSL_RESERVED_SLOT(77)
    QEV_SSL_RESERVED_SLOT(78)
    QEV_SSL_RESERVED_SLOT(79)
    QEV_SSL_RESERVED_SLOT(80)
    // 81: sends the close alert; *state: 1 when the peer's came too, else 0.
    virtual HRESULT Shutdown(int* state) = 0;
    // 82: plaintext to send: the count accepted, negative on failure.
    virtual int Write(const void* buffer, int length) = 0;
    QEV_SSL_RESERVED_SLOT(83)
    QEV_SSL_RESERVED_SLOT(84)
    QEV_SSL_RESERVED_SLOT(85)
    QEV_SSL_RESERVED_SLOT(86)
    // 87: the state after a Read or Write that answered `result` (the same
    // value passed twice): one of SSL_STATE_*.
    virtual HRESULT GetErrorState(int result, int again, int* state) = 0;

protected:
    ~ssl_connection() = default;
};

#undef QEV_SSL_RESERVED_TEN
#undef QEV_SSL_RESERVED_SLOT

extern "C" {

struct SEC_SSL_TABLE : API_COMMON {
    void* reserved;
    // 2: a server context (SSL_VERSION_TLS12_AND_LATER, SSL_MODE_SERVER);
    // other arguments E_INVALIDARG.
    HRESULT (*new_context)(ssl_context** out, unsigned int version, unsigned int mode);
};
}
