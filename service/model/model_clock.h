// The models' clock: seconds since 1970 for key expiry and one-time
// passwords. Tests fix it; 0 gives the system clock back.
#pragma once

#include <cstdint>

namespace ZELK::PSESVC {

uint64_t ModelClockNow();
void ModelClockSet(uint64_t secondsSince1970);

}  // namespace ZELK::PSESVC
