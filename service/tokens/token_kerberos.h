// The Kerberos token as the connection broker reaches it: service tickets
// for a principal, the user's login and the end of the handshake's
// impersonation.
#pragma once

#include "qevcrypto.h"
#include "token.h"

namespace ZELK::PSESVC {

class CToken_Kerberos : public CToken {
public:
    // The process's Kerberos token with one reference; 0x80000001 when the
    // process has no Kerberos support.
    static HRESULT New(CToken_Kerberos** out);

    // The user logged in to a domain, so tickets need no password first.
    virtual bool IsDomainUser();
    // A service ticket for `principal`: the ticket, its session key (both
    // new values of the octet-string type) and the key's algorithm.
    virtual HRESULT CreateTicket(const char* principal, OctetString** ticket, OctetString** sessionKey,
                                 unsigned* algorithm);
    virtual HRESULT Impersonate_End(bool keep);
};

}  // namespace ZELK::PSESVC
