#include "model_clock.h"

#include <atomic>
#include <ctime>

namespace ZELK::PSESVC {
namespace {

std::atomic<uint64_t> s_fixed {0};

}  // namespace

uint64_t ModelClockNow()
{
    uint64_t fixed = s_fixed.load();
    if (fixed != 0)
        return fixed;
    std::time_t now = std::time(nullptr);
    return now > 0 ? static_cast<uint64_t>(now) : 0;
}

void ModelClockSet(uint64_t secondsSince1970)
{
    s_fixed.store(secondsSince1970);
}

}  // namespace ZELK::PSESVC
