// A change signal that counts its calls.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "zelk_sync.h"

namespace kestrin::policy::test {

class SignalCounter : public ZELK::ISignal {
public:
    virtual ~SignalCounter() = default;
    void Signal() override { ++m_count; }
    int Count() const { return m_count; }
    // Waits up to `ms` for the count to reach `target`.
    bool WaitFor(int target, int ms) const
    {
        for (int waited = 0; m_count < target && waited < ms; waited += 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return m_count >= target;
    }

private:
    std::atomic<int> m_count {0};
};

}  // namespace kestrin::policy::test
