// Entries of the distinguished-name and certificate-list types that
// certification requests and replies use (see qev_request.h).
#pragma once

#include "qev_values.h"

namespace kestrin::qevcrypto::values {

HRESULT CertificateListParse(const OctetString* bytes, SET_OF_Certificate** out);
HRESULT CertificateVerifyIssued(Certificate* certificate, Certificate* issuer);
HRESULT DNameGetValue(const DName* name, const char* attribute, unsigned long index, char** value);
HRESULT DNameTakeValue(DName* name, const char* attribute, char** value);

}  // namespace kestrin::qevcrypto::values
