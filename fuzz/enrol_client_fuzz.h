// The enrolment client for fuzz targets: its sources and the runtime are
// compiled in, and the runtime loads the crypto library and the modules the
// client binds from the build's lib folder, in configuration folders of a
// temporary folder of its own.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "fuzz_home.h"
#include "kestrin.h"
#include "zelk_module.h"

namespace kestrin::enrol::fuzz {

inline void StartRuntime()
{
    static const bool started = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("enrol");
        if (home.empty())
            return false;
        return ZELK_Initialize() == S_OK;
    }();
    if (!started)
        std::abort();
}

// A new client; the caller releases it.
inline CKestrin* NewClient()
{
    IKestrin* client = nullptr;
    if (CFactoryImpl<CKestrin>::New(IID_IKestrin, reinterpret_cast<void**>(&client)) != S_OK || client == nullptr)
        std::abort();
    return static_cast<CKestrin*>(client);
}

}  // namespace kestrin::enrol::fuzz
