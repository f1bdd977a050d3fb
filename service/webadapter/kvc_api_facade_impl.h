// The facade's own object: the open enrolment contexts of browsers, their
// expiry, the deferred login and logout, the browser monitors that log a
// profile out when its browser ends, and the control requests (profile list
// and signing).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvc_api_facade.h"
#include "zelk_gui.h"
#include "zelk_kestrin.h"
#include "zelk_object.h"
#include "zelk_sync.h"

struct OctetString;
struct SigRcpMztInformationListStruct;

namespace ZELK::PSESVC {

class CToken;
class CTokenMgr;

// The web adapter's reference count: the object deletes itself when the last
// reference goes.
class refcounted {
public:
    refcounted() = default;
    refcounted(const refcounted&) = delete;
    refcounted& operator=(const refcounted&) = delete;
    void addReference() { m_refs.fetch_add(1); }
    void releaseReference()
    {
        if (m_refs.fetch_sub(1) == 1)
            last_reference_released();
    }

protected:
    virtual ~refcounted() = default;
    virtual void last_reference_released() { delete this; }

private:
    std::atomic<long> m_refs {0};
};

// One reference on a refcounted object for the holder's life.
template <class T>
class RefHolder {
public:
    RefHolder() = default;
    explicit RefHolder(T* object) : m_p(object)
    {
        if (m_p)
            m_p->addReference();
    }
    RefHolder(const RefHolder& other) : RefHolder(other.m_p) {}
    RefHolder& operator=(const RefHolder&) = delete;
    ~RefHolder()
    {
        if (m_p)
            m_p->releaseReference();
    }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

class CKVCAPIFacadeImpl : public CKVCAPIFacade, public CSingletonFactoryImpl<CKVCAPIFacadeImpl>, public CComObjectRoot {
public:
    // At most this many contexts are open at once: each holds an enrolment
    // client and maybe a key.
    static constexpr size_t kMaxContexts = 64;
    static constexpr const char* HOUSEKEEP_TASK = "KVCAPIFacade::HousekeepTask";
    static constexpr const char* LOGIN_TASK = "KVCAPIFacade::LoginTask";
    static constexpr const char* LOGOUT_TASK = "KVCAPIFacade::LogoutTask";

    // One enrolment context of a browser page.
    class InstanceData : public refcounted {
    public:
        InstanceData(std::string origin, std::string profileId, uint32_t pid, uint64_t startTime)
            : m_origin(std::move(origin)), m_profileId(std::move(profileId)), m_pid(pid), m_startTime(startTime)
        {}
        bool validate(const char* profileId, const char* origin) const;
        // The client with one reference for the caller, or NULL once used up
        // or cancelled.
        IKestrin* client();
        void setClient(IKestrin* client);
        // Takes the client from the context: cancelled when `cancel`.
        void dropClient(bool cancel);

        std::string m_uid;
        const std::string m_origin;
        const std::string m_profileId;
        const uint32_t m_pid;
        const uint64_t m_startTime;
        // Operations on one context run one at a time.
        std::mutex m_operation;
        std::atomic<bool> m_removed {false};

    protected:
        ~InstanceData() override;

    private:
        std::mutex m_clientLock;
        IKestrin* m_client = nullptr;
    };

    // One watched browser process.
    struct BrowserMonitorHandle {
        std::string m_profileId;
        std::string m_origin;
        uint32_t m_pid = 0;
        uint64_t m_startTime = 0;
        std::thread m_thread;
        // Its browser ended and the logout runs: a new browser of the
        // profile gets a monitor of its own.
        bool m_exiting = false;
    };

    enum Action : int { ACTION_LOGIN = 0, ACTION_LOGOUT = 1 };

    // A queued login or logout; the task frees it after the run.
    class DeferredClass {
    public:
        DeferredClass(Action action, std::string origin, std::string profileId)
            : m_action(action), m_origin(std::move(origin)), m_profileId(std::move(profileId))
        {}
        long AddRef() { return 1; }
        long Release()
        {
            delete this;
            return 0;
        }
        int run();

    private:
        Action m_action;
        std::string m_origin;
        std::string m_profileId;
    };

    // A queued context expiry.
    class HousekeepClass {
    public:
        explicit HousekeepClass(std::string uid) : m_uid(std::move(uid)) {}
        long AddRef() { return 1; }
        long Release()
        {
            delete this;
            return 0;
        }
        int run();

    private:
        std::string m_uid;
    };

    ZELK_BEGIN_INTMAP(CKVCAPIFacadeImpl)
    ZELK_INTMAP_ENTRY_IID(IID_CKVCAPIFacade, CKVCAPIFacade)
    ZELK_END_INTMAP()

    CKVCAPIFacadeImpl();
    ~CKVCAPIFacadeImpl() override;

    HRESULT Initialize() override;
    // Wakes every browser monitor and waits for its thread.
    HRESULT Finalize() override;

    HRESULT transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response) override;
    int createPKCS10(const char* origin, const char* profileId, const char* uid, const char* subjectNameDER,
                     const char* extensionsDER, IJsonObject* answer) override;
    int createContext(const char* origin, const char* profileId, IJsonObject* clientConfig, uint32_t pid,
                      IJsonObject* answer) override;
    int cancelContext(const char* origin, const char* profileId, const char* uid, IJsonObject* answer) override;
    int importP7(const char* origin, const char* profileId, const char* uid, const char* pkcs7,
                 IJsonObject* answer) override;
    int login(const char* origin, const char* profileId, IJsonObject* answer) override;
    int logout(const char* origin, const char* profileId, IJsonObject* answer) override;
    int status(const char* origin, const char* profileId, IJsonObject* answer) override;
    int clearSChannelCache(IJsonObject* answer) override;
    bool checkOrigin(const char* origin, char** allowed) override;
    int getProfileNames(IJsonObject* answer) override;
    HRESULT getOriginList(char** list) override;
    HRESULT getProfileNamesList(char** list) override;
    CToken_KV* getToken(const char* origin, const char* profileId) override;
    void traceOrigins(const char* origin, const char* profileId) override;
    void traceProfileIDs(const char* origin, const char* profileId) override;

    // The wrapping of data as PKCS#7 data, and its signature.
    static HRESULT MztEncode(const OctetString* data, OctetString** encoded);
    static HRESULT MztSign(const char* name, unsigned char flag1, unsigned char flag2, const OctetString* data,
                           SigRcpMztInformationListStruct* signers, OctetString** signature);
    // A signing request's dialog thread: shows the dialog until GuiEnd.
    static void UiThread(ICredUI* dialog);

    // The start time of a process (field 22 of /proc/<pid>/stat), 0 when it
    // cannot be read. Tests replace it.
    using StartTimeFn = uint64_t (*)(uint32_t pid);
    static void SetStartTimeReader(StartTimeFn reader);
    static uint64_t StartTime(uint32_t pid);

    // The profile name of the profile id for the origin: the profile whose
    // enrol URL matches the origin and carries the id, else the profile named
    // by the id when one of its enrol URLs matches the origin.
    static bool ResolveProfileName(const char* origin, const char* profileId, std::string& name);

private:
    RefHolder<InstanceData> getInstanceData(const char* uid);
    void removeInstanceData(InstanceData* context);
    // Removes the context when it is still listed; true when it was.
    bool removeIfListed(InstanceData* context);
    int deferred(Action action, const char* origin, const char* profileId, IJsonObject* answer);
    void createMonitor(const std::string& origin, const std::string& profileId, uint32_t pid, uint64_t startTime);
    void runMonitor(BrowserMonitorHandle* handle);
    void handleBrowserExit(BrowserMonitorHandle* handle);
    void reapFinishedMonitors();
    int profileList(IJsonObject* request, IJsonObject* answer);
    int sign(const char* url, IJsonObject* request, IJsonObject* answer);

    CriticalSection m_csContexts;
    CriticalSection m_csMonitors;
    std::vector<InstanceData*> m_contexts;
    std::vector<BrowserMonitorHandle*> m_monitors;
    // Threads of monitors that ended, joined later.
    std::vector<std::thread> m_finished;
    // Signalled by Finalize: every monitor stops waiting.
    int m_stopEvent = -1;
    // Signing requests run one at a time: two requests of one client would
    // swap its dialog under each other.
    std::mutex m_signing;
};

}  // namespace ZELK::PSESVC
