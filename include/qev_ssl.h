// The crypto library's TLS context as a security context hands it out, and
// the TLS codes its connections report.
#pragma once

#include "zelk_common_fl.h"
#include "zelk_result.h"

// The server's certificate chain ends in a root that nothing trusts.
constexpr HRESULT E_SSL_UNTRUSTED = ZELK_RC(0xA0600203);
// The server ended the handshake with the alert access_denied.
constexpr HRESULT E_SSL_ACCESSDENIED = ZELK_RC(0xA0600266);

// The setting a client applies to a fresh TLS context: the library's client
// defaults (TLS 1.2 or newer, peer verification on).
constexpr unsigned int SSL_SETTING_CLIENT_DEFAULTS = 134;

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
    QEV_SSL_RESERVED_TEN(1)
    QEV_SSL_RESERVED_TEN(2)
    QEV_SSL_RESERVED_TEN(3)
    QEV_SSL_RESERVED_TEN(4)
    QEV_SSL_RESERVED_SLOT(50)
    QEV_SSL_RESERVED_SLOT(51)
    QEV_SSL_RESERVED_SLOT(52)
    QEV_SSL_RESERVED_SLOT(53)
    QEV_SSL_RESERVED_SLOT(54)
    QEV_SSL_RESERVED_SLOT(55)
    QEV_SSL_RESERVED_SLOT(56)
    // 57: applies one setting; SSL_SETTING_CLIENT_DEFAULTS is the one there is.
    virtual HRESULT Initialize(unsigned int setting) = 0;

protected:
    ~ssl_context() = default;
};

#undef QEV_SSL_RESERVED_TEN
#undef QEV_SSL_RESERVED_SLOT
