#include "glue.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "qevcrypto.h"
#include "zelk_class.h"
#include "zelk_keychain_client.h"
#include "zelk_loader.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_psesvc.h"
#include "zelk_resloader.h"
#include "zelk_trace.h"

ZELK_POLICY_CLIENT_BINDING();
ZELK_KEYCHAIN_CLIENT_BINDING();

namespace kestrin::app {
namespace {

API_COMMON* s_resloader = nullptr;
CLoadAPI s_loadResloader(ZELK_RESLOADER_MODULE, ZELK_RESLOADER_API, &s_resloader);

std::atomic<int> s_TraceLevel {0};
QEV_SET_TRACE_LEVEL_FN s_setTraceLevel = nullptr;
ZELK_IPolicy* s_pPolTrace = nullptr;

// The crypto library's trace lines go to standard error, which a service
// manager keeps.
int ZELKGLUE_Trace(int level, const char* module, const char*, const char* text)
{
    std::fprintf(stderr, "%s %d %s\n", module ? module : "", level, text ? text : "");
    return s_TraceLevel;
}

void ApplyTraceLevel()
{
    s_TraceLevel = s_pPolTrace && s_pPolTrace->GetDWORD("Level") != 0 ? 5 : 0;
    if (s_setTraceLevel)
        s_setTraceLevel(s_TraceLevel);
}

// Re-applies the level when the configuration changes.
class TraceCallback final : public ZELK::ISignal {
public:
    virtual ~TraceCallback() = default;
    void Signal() override { ApplyTraceLevel(); }
};
TraceCallback s_traceCallback;

}  // namespace

bool ZELKGLUE_Initialize()
{
    const char* own = ZELK_FindOwnModuleDir();
    if (own == nullptr)
        return false;
    char root[ZELK_MAX_PATH];
    std::snprintf(root, sizeof root, "%s", own);
    PathAppendA(root, "../lib");
    if (FAILED(ZELK_SetInstallationRoot(root)))
        return false;

    void* library = nullptr;
    if (FAILED(ZELK_LoadLibrary("qevcrypto", &library)) || library == nullptr)
        return false;
    auto registerCallback = reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(
        ZELK_GetProcAddress(library, "Qevcryptolib_RegisterTraceCallback"));
    s_setTraceLevel =
        reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(ZELK_GetProcAddress(library, "Qevcryptolib_SetTraceLevel"));
    if (registerCallback == nullptr || s_setTraceLevel == nullptr)
        return false;
    s_setTraceLevel(0);
    registerCallback(0, &ZELKGLUE_Trace);

    if (FAILED(ZELK_Initialize()))
        return false;
    if (SUCCEEDED(ZELK_PolOpen("trace", &s_pPolTrace)) && s_pPolTrace) {
        ApplyTraceLevel();
        s_pPolTrace->RegisterCallback(&s_traceCallback);
    }
    return true;
}

HRESULT ZELKGLUE_Run(int argc, char** argv)
{
    ZELK::PSESVC::IPSESVC* service = nullptr;
    ZELK_CreateObject("zelk", "zelk", IID_IPSESVC, reinterpret_cast<void**>(&service));
    if (service == nullptr) {
        SECTRACE_WriteLn(nullptr, 1, "ZELK Service can not be started ...");
        return -1;
    }
    KeyChainDeleteAllQEVSSO();
    HRESULT hr = service->Run(const_cast<const char**>(argv), argc);
    service->Release();
    return hr;
}

HRESULT ZELKGLUE_Finalize()
{
    if (s_pPolTrace) {
        s_pPolTrace->RegisterCallback(nullptr);
        s_pPolTrace->Release();
        s_pPolTrace = nullptr;
    }
    return ZELK_Finalize();
}

}  // namespace kestrin::app
