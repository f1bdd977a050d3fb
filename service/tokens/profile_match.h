// Whether an enrolment address is the one a browser page means: the page's
// parsed origin matches the address, and the text after the address's first
// "?profile=" is the profile id, in any case.
#pragma once

#include "zelk_url.h"

namespace ZELK::PSESVC {

bool ProfileURLMatches(IURLParser* origin, const char* url, const char* profileId);

}  // namespace ZELK::PSESVC
