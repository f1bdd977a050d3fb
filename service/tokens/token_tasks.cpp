// The inactivity logout of a token.
#include "../core/task_manager.h"
#include "token.h"

namespace ZELK::PSESVC {
namespace {

constexpr uint32_t kLogoutAfterEveryUse = 0xFFFFFFFF;
constexpr unsigned int kSeconds = 1;
constexpr const char* kInactivityTask = "CToken::InactivityTask";

HRESULT Schedule(CToken* token, uint64_t seconds)
{
    CTaskManager* tasks = nullptr;
    if (FAILED(CSingletonFactoryImpl<CTaskManager>::New(&tasks)) || tasks == nullptr)
        return E_FAIL;
    HRESULT hr = tasks->AddTask(kInactivityTask, &CToken::InactivityTask, token, seconds, kSeconds, false);
    static_cast<IGUIModelTaskmanager*>(tasks)->Release();
    return hr;
}

}  // namespace

uint32_t CToken::InactivityTimeout()
{
    if (FAILED(OpenPolicy()) || !m_policy)
        return 0;
    return m_policy->GetDWORD(POL::KESTRIN::PROFILE::INACTIVITY_TIMEOUT);
}

HRESULT CToken::ClearScheduledTasks()
{
    return m_tasksScheduled.exchange(false) ? S_OK : S_FALSE;
}

HRESULT CToken::ConfigureScheduledTasks()
{
    const uint32_t timeout = InactivityTimeout();
    if (timeout != 0 && timeout != kLogoutAfterEveryUse && SUCCEEDED(Schedule(this, timeout)))
        m_tasksScheduled = true;
    return S_OK;
}

int CToken::InactivityTask()
{
    if (NeedLogin())
        return S_OK;
    const uint32_t timeout = InactivityTimeout();
    if (timeout == kLogoutAfterEveryUse)
        return DoVerbByName("verb.logout");
    if (timeout == 0)
        return S_FALSE;
    const int64_t idle = GetSystemIdleTime();
    if (idle < static_cast<int64_t>(timeout)) {
        Schedule(this, static_cast<uint64_t>(static_cast<int64_t>(timeout) - idle));
        return S_OK;
    }
    return DoVerbByName("verb.logout");
}

HRESULT CToken::FinishedPrivateKeyOperation()
{
    if (InactivityTimeout() == kLogoutAfterEveryUse)
        return DoVerbByName("verb.logout");
    return S_OK;
}

}  // namespace ZELK::PSESVC
