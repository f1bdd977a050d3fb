#include "to_be_signed.h"

namespace kestrin::base {

const char* ToBeSigned_GetUTCValidNotAfterStatic(const ToBeSigned* tbs)
{
    return tbs != nullptr && tbs->validity != nullptr ? tbs->validity->notAfter : nullptr;
}

}  // namespace kestrin::base
