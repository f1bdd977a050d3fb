// The runtime started for a test in temporary configuration and data folders.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "test_process.h"

namespace kestrin::enrol::test {

class EnrolRuntime : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    kestrin::testsupport::TempFolder m_home {"kestrin-enrol-home-"};
};

std::wstring Wide(const std::string& s);
std::string Narrow(const wchar_t* s);

}  // namespace kestrin::enrol::test
