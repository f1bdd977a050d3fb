// Transport codes of the crypto library's connections as enrolment results.
#pragma once

#include "zelk_result.h"

namespace kestrin::enrol {

// 0 stays 0; every other code becomes an E_QM_* code or E_ACCESSDENIED.
HRESULT MapTransportCode(HRESULT code);

}  // namespace kestrin::enrol
