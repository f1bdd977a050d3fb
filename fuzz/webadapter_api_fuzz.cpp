// Plaintext of a local HTTPS connection into the JSON API handler over the
// recording facade, split at points the input chooses: records of a length
// byte and that many bytes, each one Transact call. A connection the handler
// asks to close is replaced by a new handler. The runtime loads the crypto
// library and the base module from the build's lib folder.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_home.h"
#include "webadapter/api_handler.h"
#include "webadapter/tests/facade_double.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace {

using kestrin::webadapter::test::CreateFacadeDouble;
using kestrin::webadapter::test::FacadeDouble;
using ZELK::PSESVC::WEBCLIENT::CAPIHandler;

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacadeDouble);

void StartRuntime()
{
    static const bool started = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("webadapter");
        if (home.empty())
            return false;
        return ZELK_Initialize() == S_OK;
    }();
    if (!started)
        std::abort();
}

ITunnel* NewHandler()
{
    ITunnel* tunnel = nullptr;
    if (CFactoryImpl<CAPIHandler>::New(IID_ITunnel, reinterpret_cast<void**>(&tunnel)) != S_OK || tunnel == nullptr)
        std::abort();
    return tunnel;
}

bool Closes(ITunnel* tunnel)
{
    ITunnelControl* control = nullptr;
    if (tunnel->QueryInterface(IID_ITunnelControl, reinterpret_cast<void**>(&control)) != S_OK)
        std::abort();
    bool close = control->CloseAfterTransact();
    control->Release();
    return close;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StartRuntime();
    FacadeDouble::Reset();
    ITunnel* tunnel = NewHandler();
    size_t at = 0;
    while (at < size) {
        size_t length = std::min<size_t>(data[at], size - at - 1);
        std::string piece(reinterpret_cast<const char*>(data + at + 1), length);
        at += 1 + length;
        unsigned long capacity = 8;
        auto* out = static_cast<unsigned char*>(sec_malloc(capacity));
        HRESULT hr = tunnel->Transact(reinterpret_cast<unsigned char*>(piece.data()),
                                      static_cast<unsigned long>(piece.size()), &out, &capacity);
        if (hr == S_OK && (capacity < 12 || std::string(reinterpret_cast<char*>(out), 9) != "HTTP/1.1 "))
            std::abort();
        sec_free(out);
        if (hr < 0 || (hr == S_OK && Closes(tunnel))) {
            tunnel->Release();
            tunnel = NewHandler();
        }
    }
    tunnel->Release();
    return 0;
}
