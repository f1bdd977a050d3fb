// Accessors of a to-be-signed certificate record that stand in no table.
#pragma once

#include "qev_values.h"

namespace kestrin::base {

// The record's own not-after text, not copied; NULL when the record or its
// validity is NULL.
const char* ToBeSigned_GetUTCValidNotAfterStatic(const ToBeSigned* tbs);

}  // namespace kestrin::base
