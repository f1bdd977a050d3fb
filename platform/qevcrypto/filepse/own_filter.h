// Whether a personal certificate info passes the attribute chain of an
// own-certificate request: every attribute not yet marked answered must pass
// (key identifier 58, issuer and serial 120, subject key identifier 121, root
// issuers 130, exact text 231, key usage 234, a path subject 235, token 240,
// subject 504; other identifiers always pass).
#pragma once

#include "qev_records.h"
#include "qevcrypto.h"

namespace kestrin::qevcrypto::filepse {

bool PassesOwnFilter(const PersonalCertificateInfo* info, const SECAttribute* filter);

}  // namespace kestrin::qevcrypto::filepse
