// Kerberos through the crypto library: "SEC_KERBEROS_1", over the user's
// default credential cache (KRB5CCNAME honoured) and the default realm.
#pragma once

#include <cstddef>

#include "qev_token.h"
#include "qevcrypto.h"

constexpr const char* SEC_KERBEROS_API = "SEC_KERBEROS_1";

// Longest target name the table takes, in bytes without the terminator.
constexpr size_t SEC_KERBEROS_MAX_TARGET = 1023;

// The user has no usable Kerberos credentials: no credential cache, an empty
// one or an expired ticket-granting ticket.
constexpr HRESULT SEC_E_KERBEROS_NO_CREDENTIALS = ZELK_RC(0xA2600202);
// Any other Kerberos failure (unknown service principal, unreachable KDC, ...).
constexpr HRESULT SEC_E_KERBEROS_FAILED = ZELK_RC(0xA2600201);

extern "C" {

typedef HRESULT (*SEC_KERBEROS_GET_TICKET_FN)(const char* target, OctetString** ticket, OctetString** sessionKey,
                                              KerberosAlgorithmIdentifier* algorithm);

struct SEC_KERBEROS_TABLE : API_COMMON {
    // 1: a service ticket for `target` (a principal name, the default realm
    // added when it has none): the DER Ticket, the session key's bytes and
    // the key's encryption type as the algorithm, each from the library's
    // allocator (freed with the octet-string type's free). Every output is
    // optional; nothing is handed out on failure. E_INVALIDARG for a NULL,
    // empty or over-long target.
    SEC_KERBEROS_GET_TICKET_FN clientGetTicket;
    void* reserved2[18];  // 2 to 19
    // 20: the first SPNEGO token of a context with `target`, taken as a
    // Kerberos principal name ("HTTP/host"), from the default credential.
    HRESULT (*spnego_CreateToken)(const char* target, OctetString** token);
};

}  // extern "C"
