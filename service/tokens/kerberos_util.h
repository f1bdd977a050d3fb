// Kerberos helpers of the service: the ticket blob handed to client
// processes, and the subject and service principal of a target name.
#pragma once

#include "qevcrypto.h"

namespace ZELK::PSESVC {

// One octet string (library allocator, the caller's) of the target's length
// and bytes, the ticket's, the session key's and the algorithm, numbers as
// 32-bit values in host byte order. Nothing is made when an argument is
// missing or a length does not fit 32 bits.
void KerbUtil_convertTicket2OctetString(const char* target, const OctetString* ticket, const OctetString* sessionKey,
                                        int algorithm, OctetString** blob);

// A target name ("Kerberos-" allowed in front) as a subject name and a
// service principal: "CN=..." names give their common name, "QEV/" put in
// front when it names no service, a port cut off; anything else becomes
// "CN=" + name and no principal. Both outputs are new texts (library
// allocator); E_INVALIDARG for a NULL argument.
HRESULT KerbUtil_parseKerberosName(const char* name, char** subjectName, char** servicePrincipal);

}  // namespace ZELK::PSESVC
