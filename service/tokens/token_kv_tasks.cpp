// The scheduled work of a profile token: auto-enrolment, re-enrolment before
// expiry, retries of failed automatic logins and logouts at expiry.
#include <chrono>
#include <thread>

#include "../core/task_manager.h"
#include "token_kv.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_timeapi = nullptr;
CLoadAPI s_loadTimeapi("zelkbase", ZELKBASE_TIMEAPI_API, &s_timeapi);

constexpr unsigned int kAtOnce = 0;
constexpr unsigned int kSecondsFromNow = TIME_UNIT_SECONDS;
constexpr unsigned int kSecondsSince1970 = TIME_UNIXTIME;
constexpr unsigned long long kRetrySeconds = 30;
// An overdue re-enrolment that failed is not tried again sooner than this.
constexpr uint64_t kMinReenrollSpacing = 60;

const SEC_TIMEAPI_TABLE* Time()
{
    return ZELK_ApiCast<SEC_TIMEAPI_TABLE>(s_timeapi);
}

// Seconds since 1970; 0 when the time functions are missing.
uint64_t NowSeconds()
{
    const SEC_TIMEAPI_TABLE* time = Time();
    return time != nullptr ? time->time_TranslateTime(0, 0, kSecondsSince1970) : 0;
}

// The certificate's end of validity in seconds since 1970; 0 when unreadable.
uint64_t NotAfterSeconds(Certificate* cert)
{
    const SEC_TIMEAPI_TABLE* time = Time();
    const char* text = cert != nullptr ? cert->getNotAfter() : nullptr;
    if (time == nullptr || text == nullptr)
        return 0;
    uint64_t seconds = time->time_TranslateGeneralTime(text, kSecondsSince1970);
    return seconds == ZELK_TIME_INVALID ? 0 : seconds;
}

class TaskManagerRef {
public:
    TaskManagerRef() { CSingletonFactoryImpl<CTaskManager>::New(&m_tasks); }
    ~TaskManagerRef()
    {
        if (m_tasks != nullptr)
            static_cast<IGUIModelTaskmanager*>(m_tasks)->Release();
    }
    TaskManagerRef(const TaskManagerRef&) = delete;
    TaskManagerRef& operator=(const TaskManagerRef&) = delete;
    CTaskManager* operator->() const { return m_tasks; }
    explicit operator bool() const { return m_tasks != nullptr; }

private:
    CTaskManager* m_tasks = nullptr;
};

}  // namespace

// Tasks hold the token through its CToken part, its one IUnknown.
HRESULT CToken_KV::AddTask(const char* name, int (CToken_KV::*member)(), unsigned long long time, unsigned int unit)
{
    TaskManagerRef tasks;
    if (!tasks)
        return E_FAIL;
    return tasks->AddTask(name, static_cast<int (CToken::*)()>(member), static_cast<CToken*>(this), time, unit, false);
}

HRESULT CToken_KV::DeleteTask(int (CToken_KV::*member)())
{
    TaskManagerRef tasks;
    if (!tasks)
        return E_FAIL;
    return tasks->DeleteTask(static_cast<int (CToken::*)()>(member), static_cast<CToken*>(this));
}

void CToken_KV::ScheduleAutoEnroll()
{
    {
        std::lock_guard<std::mutex> lock(m_autoEnrollLock);
        m_autoEnrollReleased = false;
    }
    m_autoEnrollPending = true;
    if (FAILED(AddTask("CToken_KV::AutoEnrollTask", &CToken_KV::AutoEnrollTask, 0, kAtOnce)))
        EndAutoEnrollWait();
}

void CToken_KV::EndAutoEnrollWait()
{
    std::lock_guard<std::mutex> lock(m_autoEnrollLock);
    m_autoEnrollReleased = true;
    m_autoEnrollDone.notify_all();
}

void CToken_KV::WaitForAutoEnroll()
{
    std::unique_lock<std::mutex> lock(m_autoEnrollLock);
    m_autoEnrollDone.wait(lock, [this] { return m_autoEnrollReleased; });
    m_autoEnrollPending = false;
}

int CToken_KV::RunVerbSilently(const char* verb)
{
    m_silent = true;
    int rc = DoVerbByName(verb);
    m_silent = false;
    return rc;
}

HRESULT CToken_KV::ClearScheduledTasks(bool all)
{
    if (m_externallyManaged)
        return S_FALSE;
    DeleteTask(&CToken_KV::ReenrollTask);
    DeleteTask(&CToken_KV::LogoutTask);
    if (all) {
        DeleteTask(&CToken_KV::RetryEnrollTask);
        DeleteTask(&CToken_KV::CheckClientChangeTask);
    }
    return CToken::ClearScheduledTasks();
}

HRESULT CToken_KV::ConfigureScheduledTasks(signed char reenrol)
{
    if (m_externallyManaged)
        return S_FALSE;
    if (NeedLogin())
        return ClearScheduledTasks(true);
    AuxRefPtr<Certificate> cert;
    if (GetOwnCert(&cert) != S_OK || !cert)
        return E_FAIL;
    if (IsValidCert(cert, 0)) {
        uint64_t notAfter = NotAfterSeconds(cert);
        if (reenrol) {
            uint64_t due = notAfter;
            if (m_gracePeriod >= 0)
                due = notAfter > static_cast<uint64_t>(m_gracePeriod) ? notAfter - m_gracePeriod : 0;
            // A re-enrolment that is already due runs at once the first time;
            // repeated ones keep their distance.
            uint64_t last = m_lastReenroll;
            if (last != 0 && due < last + kMinReenrollSpacing) {
                due = last + kMinReenrollSpacing;
                SECTRACE_FormatLn(nullptr, 2, "CToken_KV: re-enrolment of '%s' is overdue, next try in %d seconds",
                                  static_cast<const char*>(m_profileName), static_cast<int>(kMinReenrollSpacing));
            }
            AddTask("CToken_KV::ReenrollTask", &CToken_KV::ReenrollTask, due, kSecondsSince1970);
        } else {
            AddTask("CToken_KV::LogoutTask", &CToken_KV::LogoutTask, notAfter, kSecondsSince1970);
        }
        if (PolicyInt(POL::KESTRIN::PROFILE::AUTO_LOGOUT) != 0) {
            StringT<char> name;
            name.Format("CToken_KV::LogoutTask(%s)", static_cast<const char*>(m_profileName));
            if (SUCCEEDED(AddTask(name, &CToken_KV::LogoutTask, 1, kAtOnce)) && m_model != nullptr)
                m_model->SetAutoLogoutTask(name);
        }
        m_tasksScheduled = true;
    }
    return CToken::ConfigureScheduledTasks();
}

HRESULT CToken_KV::ConfigureRetryEnrollTask(int)
{
    bool retry = false;
    if (m_reenrollTries != 0) {
        SECTRACE_WriteLn(nullptr, 3, "We shall retry to reenroll");
        retry = m_userInfo != nullptr && m_userInfo->HasPassword();
        if (!retry && m_kerberos != nullptr)
            retry = m_kerberos->IsDomainUser();
        if (!retry)
            SECTRACE_WriteLn(nullptr, 3, "but have no cached credentials -> don't try to reenroll");
    } else {
        SECTRACE_WriteLn(nullptr, 3, "We don't shall try to reenroll");
    }
    if (retry) {
        --m_reenrollTries;
        SECTRACE_WriteLn(nullptr, 3, "Try to reenroll in 30 seconds");
        AddTask("CToken_KV::RetryEnrollTask", &CToken_KV::RetryEnrollTask, kRetrySeconds, kSecondsFromNow);
        return S_OK;
    }
    AuxRefPtr<Certificate> cert;
    if (GetOwnCert(&cert) == S_OK && cert) {
        SECTRACE_WriteLn(nullptr, 3, "Logout when certificate expires");
        AddTask("CToken_KV::LogoutTask", &CToken_KV::LogoutTask, NotAfterSeconds(cert), kSecondsSince1970);
    }
    return S_OK;
}

int CToken_KV::AutoEnrollTask()
{
    SECTRACE_WriteLn(nullptr, 3, "CToken_KV::AutoEnrollTask");
    m_reenrollTries = PolicyInt(POL::KESTRIN::PROFILE::AUTOENROLL_TRIES);
    int rc = RunVerbSilently("verb.login");
    // Waiters are released also when the verb never reached Login.
    EndAutoEnrollWait();
    if (FAILED(rc))
        ConfigureRetryEnrollTask(rc);
    return rc;
}

int CToken_KV::RetryEnrollTask()
{
    SECTRACE_WriteLn(nullptr, 3, "CToken_KV::RetryEnrollTask");
    int rc = RunVerbSilently("verb.login");
    if (FAILED(rc))
        ConfigureRetryEnrollTask(rc);
    return rc;
}

int CToken_KV::ReenrollTask()
{
    SECTRACE_WriteLn(nullptr, 3, "CToken_KV::ReenrollTask");
    DeleteTask(&CToken_KV::ReenrollTask);
    if (m_userInfo == nullptr || !m_userInfo->HasKey())
        return E_FAIL;
    m_lastReenroll = NowSeconds();
    int rc = S_OK;
    if (m_gracePeriod < 0) {
        rc = RunVerbSilently("verb.logout");
    } else {
        m_reenrollTries = PolicyInt(POL::KESTRIN::PROFILE::AUTOENROLL_TRIES);
        rc = RunVerbSilently("verb.login");
    }
    if (FAILED(rc))
        ConfigureRetryEnrollTask(rc);
    return rc;
}

int CToken_KV::LogoutTask()
{
    SECTRACE_WriteLn(nullptr, 3, "CToken_KV::LogoutTask");
    if (NeedLogin())
        return S_FALSE;
    return RunVerbSilently("verb.logout");
}

// No module offers the client monitor, so nothing is ever watched here.
int CToken_KV::CheckClientChangeTask()
{
    SECTRACE_WriteLn(nullptr, 3, "CToken_KV::CheckClientChangeTask");
    DeleteTask(&CToken_KV::CheckClientChangeTask);
    return S_OK;
}

}  // namespace ZELK::PSESVC
