#include "kv_token_monitor.h"

#include <chrono>
#include <cstring>

#include "../core/reader_manager.h"
#include "../core/task_manager.h"
#include "../model/model_localserver.h"
#include "token_kv.h"
#include "token_manager.h"
#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"
#include "zelk_text.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.kvtokenmonitor", &CSingletonFactoryImpl<CKVTokenMonitor>::New);

constexpr const char* kProfilesPath = "profiles";
constexpr const char* kUserProfilesPath = "/Groups\\User\\Profiles";
constexpr const char* kProfileUri = "toksw:mem://kestrin/";
constexpr const char* kUserProfileUri = "toksw:mem://kestrin/user/";
constexpr const char* kHearthgate = "hearthgate";
constexpr unsigned long long kReloadDelayMs = 500;
constexpr unsigned long long kCleanupDelayMs = 60000;
// Sub-keys walked per tree.
constexpr long kMaxProfiles = 4096;

// The profile types a reload limits.
struct TypeRule {
    const char* type;
    bool allowed;
    bool once;
    StringT<char> usedBy;  // the profile that took a "once" row
};

uint64_t FileTimeNow()
{
    constexpr uint64_t kEpochDifference = 116444736000000000ull;  // 1601 to 1970 in 100 ns
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDifference
           + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100);
}

}  // namespace

HRESULT CKVTokenMonitor::Initialize()
{
    CSingletonFactoryImpl<CKVTokenMonitor>::Initialize();
    return CMonitor::Initialize();
}

HRESULT CKVTokenMonitor::Finalize()
{
    CMonitor::Finalize();
    CTaskManager* scheduler = nullptr;
    if (SUCCEEDED(CTaskManager::GetExisting(&scheduler)) && scheduler != nullptr) {
        scheduler->DeleteTask(&CKVTokenMonitor::ReloadTask, this);
        scheduler->DeleteTask(&CKVTokenMonitor::CleanupTask, this);
        scheduler->Release();
    }
    return CSingletonFactoryImpl<CKVTokenMonitor>::Finalize();
}

HRESULT CKVTokenMonitor::NotifyThread_Initialize()
{
    m_ftLastReload = 0;
    if (!m_pProfiles)
        ZELK_PolOpen(kProfilesPath, &m_pProfiles);
    if (!m_pUserProfiles)
        ZELK_PolOpen(kUserProfilesPath, &m_pUserProfiles);
    return S_OK;
}

HRESULT CKVTokenMonitor::RegisterEvent()
{
    if (m_pProfiles)
        m_pProfiles->RegisterCallback(GetSignal());
    if (m_pUserProfiles)
        m_pUserProfiles->RegisterCallback(GetSignal());
    return S_OK;
}

HRESULT CKVTokenMonitor::NotifyThread_Finalize()
{
    if (m_pProfiles) {
        m_pProfiles->RegisterCallback(nullptr);
        m_pProfiles = nullptr;
    }
    return S_OK;
}

HRESULT CKVTokenMonitor::Reload()
{
    if (m_ftLastReload == 0)
        return ReloadTask();
    CTaskManager* scheduler = nullptr;
    CSingletonFactoryImpl<CTaskManager>::New(&scheduler);
    if (scheduler == nullptr)
        return S_OK;
    scheduler->DeleteTask(&CKVTokenMonitor::ReloadTask, this);
    scheduler->AddTask("CKVTokenMonitor::ReloadTask", &CKVTokenMonitor::ReloadTask, this, kReloadDelayMs,
                       TIME_UNIT_MILLISECONDS, false);
    scheduler->Release();
    return S_OK;
}

int CKVTokenMonitor::ReloadTask()
{
    SECTRACE_Fkt_IMPL<int> trace("%d", "CKVTokenMonitor::ReloadTask");
    // Without the enrolment client no profile can log in: nothing changes.
    ZELK_PTR(IUnknown) client;
    if (FAILED(
            ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, IID_IUnknown, reinterpret_cast<void**>(&client)))
        || !client)
        return trace.result = 1;
    CReaderMgr* readers = nullptr;
    CSingletonFactoryImpl<CReaderMgr>::New(&readers);
    TypeRule rules[] = {
        {"rfidpcsc", false, false, {}},
        {"rfidwaveid", false, false, {}},
        {kHearthgate, true, true, {}},
    };
    bool localServer = false;
    ZELK_IPolicy* trees[] = {m_pProfiles, m_pUserProfiles};
    for (int tree = 0; tree < 2; ++tree) {
        if (trees[tree] == nullptr)
            continue;
        for (long index = 0; index < kMaxProfiles; ++index) {
            ZELK_PTR(ZELK_IPolicy) profile;
            if (trees[tree]->OpenSubKey(index, &profile) < 0 || !profile)
                break;
            if (!CToken_KV::IsValidPolicy(profile))
                continue;
            const char* name = profile->GetName();
            if (name == nullptr || *name == '\0')
                continue;
            StringT<char> type(static_cast<ZELK_IPolicy*>(profile), POL::KESTRIN::PROFILE::PSE_TYPE);
            bool skip = false;
            for (TypeRule& rule : rules) {
                if (type.CompareNoCase(rule.type) != 0)
                    continue;
                if (!rule.allowed) {
                    skip = true;
                } else if (rule.once && !rule.usedBy.IsEmpty()) {
                    SECTRACE_FormatLn(nullptr, 2, "Only one '%s' profile allowed! Using '%s', ignoring '%s'", rule.type,
                                      static_cast<const char*>(rule.usedBy), name);
                    skip = true;
                } else {
                    rule.usedBy = name;
                    if (std::strcmp(rule.type, kHearthgate) == 0)
                        localServer = true;
                }
                break;
            }
            if (skip)
                continue;
            StringT<char> uri(tree == 0 ? kProfileUri : kUserProfileUri);
            uri.Append(name);
            if (readers != nullptr && readers->ReaderGet(uri, nullptr) == -1) {
                readers->ReaderAdd(uri);
                readers->ReaderEvent(IReaderEvents::CARD_INSERTED, uri, 0);
            }
            AddNew(uri);
        }
    }
    // The local-server row is listed while a "hearthgate" profile exists.
    if (localServer)
        CModelLocalServers::EnableLocalServer();
    else
        CModelLocalServers::DisableLocalServer();
    const unsigned long deleted = GetDeletedURIsCount();
    for (unsigned long i = 0; i < deleted; ++i) {
        char* uri = nullptr;
        if (FAILED(GetDeleted(i, &uri)) || uri == nullptr)
            continue;
        SECTRACE_FormatLn(nullptr, 4, "Kestrin::Event:: remove %s profile.", uri);
        if (readers != nullptr) {
            readers->ReaderEvent(IReaderEvents::CARD_REMOVED, uri, 0);
            readers->ReaderDel(uri);
        }
        sec_free(uri);
    }
    RefreshDeleteDetector();
    m_ftLastReload = FileTimeNow();
    if (readers != nullptr)
        readers->Release();

    CTaskManager* scheduler = nullptr;
    CSingletonFactoryImpl<CTaskManager>::New(&scheduler);
    if (scheduler != nullptr) {
        scheduler->DeleteTask(&CKVTokenMonitor::CleanupTask, this);
        scheduler->AddTask("CKVTokenMonitor::CleanupTask", &CKVTokenMonitor::CleanupTask, this, kCleanupDelayMs,
                           TIME_UNIT_MILLISECONDS, false);
        scheduler->Release();
    }
    return trace.result = 0;
}

int CKVTokenMonitor::CleanupTask()
{
    CTokenMgr* manager = nullptr;
    CSingletonFactoryImpl<CTokenMgr>::New(&manager);
    if (manager == nullptr)
        return E_FAIL;
    HRESULT hr = manager->CleanupPersistentTokens();
    manager->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
