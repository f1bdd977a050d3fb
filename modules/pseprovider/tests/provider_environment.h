// The runtime of the provider's tests, started once against the crypto
// library stand-in with user folders of the tests' own, and what the tests
// reach of module "zelkpse".
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qev_pse.h"

// Checks inside a child process: a failure ends it with status 1 and says why.
#define CHILD_CHECK(condition)                                                                                         \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "failed: %s\n", #condition);                                                          \
            std::_Exit(1);                                                                                             \
        }                                                                                                              \
    } while (0)

// Runs the statements in a child process of its own (what fixes process-wide state).
#define IN_CHILD(...)                                                                                                  \
    EXPECT_EXIT(([&] {                                                                                                 \
                    __VA_ARGS__;                                                                                       \
                    std::_Exit(0);                                                                                     \
                }()),                                                                                                  \
                ::testing::ExitedWithCode(0), "")

namespace ZELK::ZELKPSE::test {

// The temporary home of this test process (XDG folders below it).
const std::string& TestHome();

// Entry 1 of "SEC_PSE_1" of "zelkpse".
HRESULT CreatePSE(PSE** out, SECAttribute* attributes);
// A PSE for a name (attribute 72); NULL when the creation failed.
PSE* NamedPSE(const char* name, HRESULT* result = nullptr);

// An attribute whose value has the type its id carries.
SECAttribute Attribute(uint32_t id, const void* value, SECAttribute* next = nullptr);

}  // namespace ZELK::ZELKPSE::test
