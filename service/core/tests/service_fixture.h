// The runtime started around each test, and the trace lines the crypto
// library's sink receives meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kestrin::service::test {

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Lines written at `level` or below from now on ("<level>:<text>").
    static void CaptureTrace(int level);
    static std::vector<std::string> TraceLines();
    static size_t CountTrace(const std::string& part);

    bool m_started = false;
};

// Polls `condition` every millisecond for up to `limit`.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace kestrin::service::test
