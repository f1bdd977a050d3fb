// The trace hook of client programs: the crypto library's lines go to
// syslog under the client program's own identity (no openlog), and the
// library's level follows the policy value "trace" "Level".
#include <syslog.h>

#include <atomic>
#include <mutex>

#include "provider.h"
#include "zelk_loader.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_sync.h"

API_COMMON* ZELK_POLICY_TABLE = nullptr;

namespace ZELK::ZELKPSE {
namespace {

// Bound on the first hook installation, released with the module.
CUnloadAPI s_unloadPolicy(&ZELK_POLICY_TABLE);

std::mutex s_hookLock;
void* s_library = nullptr;
QEV_REGISTER_TRACE_CALLBACK_FN s_registerTraceCallback = nullptr;
std::atomic<QEV_SET_TRACE_LEVEL_FN> s_setTraceLevel {nullptr};
ZELK_IPolicy* s_pPolTrace = nullptr;
std::atomic<unsigned> s_TraceLevel {0};

int SyslogPriority(int level)
{
    switch (level) {
    case 1:
        return LOG_ERR;
    case 5:
        return LOG_DEBUG;
    default:
        return LOG_NOTICE;
    }
}

int ZELKPSE_Trace(int level, const char*, const char*, const char* text)
{
    syslog(LOG_USER | SyslogPriority(level), "Kestrin Client: %s", text ? text : "");
    return static_cast<int>(s_TraceLevel.load());
}

class Callback final : public ISignal {
public:
    void Signal() override
    {
        ZELK_IPolicy* policy = s_pPolTrace;
        s_TraceLevel = policy != nullptr && policy->GetDWORD("Level") != 0 ? 5 : 0;
        if (QEV_SET_TRACE_LEVEL_FN set = s_setTraceLevel.load())
            set(static_cast<int>(s_TraceLevel.load()));
    }
};
Callback s_TraceLevelChangedCallback;

// The module may be unloaded without being finalised: the library must not
// call into it afterwards.
struct UnhookAtUnload {
    ~UnhookAtUnload()
    {
        if (s_registerTraceCallback != nullptr)
            s_registerTraceCallback(0, nullptr);
    }
} s_unhookAtUnload;

}  // namespace

void ZELKPSE_EnableTraces()
{
    std::lock_guard<std::mutex> lock(s_hookLock);
    if (s_library != nullptr)
        return;
    if (FAILED(ZELK_LoadLibrary("qevcrypto", &s_library)) || s_library == nullptr)
        return;
    auto registerCallback = reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(
        ZELK_GetProcAddress(s_library, "Qevcryptolib_RegisterTraceCallback"));
    auto setLevel =
        reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(ZELK_GetProcAddress(s_library, "Qevcryptolib_SetTraceLevel"));
    if (registerCallback == nullptr || setLevel == nullptr)
        return;
    if (ZELK_POLICY_TABLE == nullptr && FAILED(ZELK_GetAPI(ZELK_POLICY_MODULE, ZELK_POLICY_API, &ZELK_POLICY_TABLE)))
        return;
    ZELK_IPolicy* policy = nullptr;
    if (FAILED(ZELK_PolOpen("trace", &policy)) || policy == nullptr)
        return;
    s_pPolTrace = policy;
    s_setTraceLevel = setLevel;
    s_registerTraceCallback = registerCallback;
    policy->RegisterCallback(&s_TraceLevelChangedCallback);
    s_TraceLevelChangedCallback.Signal();
    registerCallback(0, &ZELKPSE_Trace);
}

void ZELKPSE_DisableTraces()
{
    std::lock_guard<std::mutex> lock(s_hookLock);
    if (s_registerTraceCallback != nullptr)
        s_registerTraceCallback(0, nullptr);
    s_registerTraceCallback = nullptr;
    if (s_pPolTrace != nullptr) {
        s_pPolTrace->RegisterCallback(nullptr);
        s_pPolTrace->Release();
        s_pPolTrace = nullptr;
    }
    s_setTraceLevel = nullptr;
    s_TraceLevel = 0;
    if (s_library != nullptr)
        ZELK_FreeLibrary(&s_library);
}

}  // namespace ZELK::ZELKPSE
