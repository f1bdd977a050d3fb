// The service's book of who uses it: one client record per process that
// talks to the service ("zelk.clients"), one connection record per secure
// connection that such a process starts through the broker
// ("zelk.connections"), and the group of both. When the last connection of a
// token ends, the token's automatic logout starts.
//
// Locks: each container's array under its revision lock, a client's
// connections under the client's revision lock, a connection's usage count,
// client and token model under the connection's revision lock. A client's
// lock may be held while the connection container's lock is taken, never the
// other way round.
#pragma once

#include <atomic>

#include "aux_iunknown_array.h"
#include "gui_model_container.h"
#include "retained_text.h"
#include "zelk_gui.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_result.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IGUIModelClients, 0xB5AA5F63, 0xFFA9, 0x43CB, 0xB3, 0x49, 0x2A, 0x36, 0x1B, 0x1A, 0x56, 0x34);
ZELK_DEFINE_GUID(IID_IGUIModelClient, 0xDF18A020, 0x29CC, 0x4446, 0x8C, 0x94, 0x8C, 0xF1, 0x76, 0xFD, 0x12, 0x13);
ZELK_DEFINE_GUID(IID_CModelClient, 0x519A667E, 0xD2F1, 0x4885, 0xB7, 0xEC, 0x8C, 0x87, 0xBE, 0xDA, 0xFF, 0x11);
ZELK_DEFINE_GUID(IID_IGUIModelApplicationConnection, 0x9D2AB745, 0x1E14, 0x4D40, 0xAD, 0x64, 0x17, 0x8B, 0x5D, 0x9C,
                 0x48, 0xB9);
ZELK_DEFINE_GUID(IID_CModelApplicationConnection, 0x6CD8E701, 0x78F9, 0x4C5A, 0xA0, 0xEC, 0x3D, 0xEB, 0x9D, 0x7A, 0x2F,
                 0x25);
ZELK_DEFINE_GUID(IID_CModelApplicationConnections, 0x7BBC1E23, 0x4B72, 0x4769, 0xBA, 0xFD, 0xD0, 0xFF, 0x8E, 0x53, 0x6B,
                 0x84);

struct PersonalCertificateInfo;

namespace ZELK::PSESVC {

class IGUIModelApplicationConnection;
class CModelApplicationTempKey;

class IGUIModelClient : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelClient; }
    // Process names without regard to case, then process ids; 1 for NULL.
    virtual int Compare(IGUIModelClient* other) = 0;
    // -1 for a connection of this client (a client sorts first); 1 without one.
    virtual int Compare(IGUIModelApplicationConnection* connection) = 0;
    virtual unsigned GetGetProcessID() = 0;
    virtual const wchar_t* GetProcessName() = 0;
    virtual uint64_t GetApplicationCount() = 0;
    // The name of the connection at `index`, NULL past the end.
    virtual const wchar_t* GetApplication(unsigned long index) = 0;
};

class IGUIModelApplicationConnection : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelApplicationConnection; }
    // Names compared exactly; 1 for NULL.
    virtual int Compare(IGUIModelApplicationConnection* other) = 0;
    virtual int Compare(IGUIModelClient* client) = 0;
    virtual const wchar_t* GetName() = 0;
    virtual int64_t GetUsageCount() = 0;
    // The client with one reference; 0x80040003 for NULL `out`, 0x80004005
    // once the connection has left its client.
    virtual HRESULT GetClient(IGUIModelClient** out) = 0;
    // The token model's interface `iid`; 0x80004005 without a token model.
    virtual HRESULT GetToken(const GUID& iid, void** out) = 0;
};

class IGUIModelClients : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelClients; }
};

class CModelClient;

class CModelApplicationConnection : public CGUIModel<IGUIModelApplicationConnection>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplicationConnection)
    ZELK_INTMAP_ENTRY(IGUIModelApplicationConnection)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelApplicationConnection)
    ZELK_INTMAP_ENTRY_IID(IID_CModelApplicationConnection, IGUIModelApplicationConnection)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplicationConnection; }

    ~CModelApplicationConnection() override;

    // A new record with the next id of the process (the first is 1); the
    // token URI is only stored. 0x8007000E when it cannot be made.
    static HRESULT New(CModelApplicationConnection** out, CModelClient* client, const wchar_t* name,
                       const char* tokenURI);

    int Compare(IGUIModelApplicationConnection* other) override;
    int Compare(IGUIModelClient* client) override;
    const wchar_t* GetName() override;
    int64_t GetUsageCount() override;
    HRESULT GetClient(IGUIModelClient** out) override;
    HRESULT GetToken(const GUID& iid, void** out) override;

    // The secure connection ended: the connection leaves its client and the
    // connection list whatever its usage count; 0. Nothing once it has left.
    virtual HRESULT ConnectionClosed();
    virtual HRESULT SetPolicy(ZELK_IPolicy* application, ZELK_IPolicy* common);
    // With n above 0: adds or subtracts n and steps the revision; 0.
    virtual HRESULT IncrementUsageCount(unsigned long n);
    virtual HRESULT DecrementUsageCount(unsigned long n);
    // NULL or "": no URI and no token model (no revision step); "kerberos:"
    // and "eom:" the Kerberos and encryption-only rows; else the token
    // manager's token of that name, when it has one.
    virtual HRESULT SetTokenURI(const char* uri);
    virtual HRESULT SetToken(IGUIModel* token);

    unsigned GetConnectionId() const { return m_id; }
    // The token URI, kept until the connection dies; "" when none.
    const char* GetTokenURI();
    // The client without a reference, NULL once the connection has left it.
    CModelClient* ClientOf();
    // Cleared by the client's stop, so that a connection the broker still
    // holds never reaches a freed client.
    void LeaveClient();

    // The temporary key the connection holds, with a reference (NULL when
    // none); the key it holds from now on (NULL: none).
    HRESULT GetTempKey(CModelApplicationTempKey** out);
    void SetTempKey(CModelApplicationTempKey* key);
    // The own certificate chosen for the connection, with a reference (NULL
    // when none); the one it holds from now on, sharing a reference.
    HRESULT GetSelectedPCI(PersonalCertificateInfo** out);
    HRESULT SetSelectedPCI(PersonalCertificateInfo* certificate);

    // The policies SetPolicy gave, with a reference each (NULL allowed).
    HRESULT GetPolicy(ZELK_IPolicy** application, ZELK_IPolicy** common);
    // The token URIs the connection may use: a copy (NULL when none); the
    // list it holds from now on, taken over.
    HRESULT GetTokenURIs(SET_OF_String** out);
    void SetTokenURIs(SET_OF_String* list);
    // Whether an entry begins with `prefix`; removing every such entry.
    bool HasTokenURIStartingWith(const char* prefix);
    void RemoveTokenURIsStartingWith(const char* prefix);
    // The candidates of the credential choice, with a reference (NULL when
    // none); the container held from now on.
    HRESULT GetCertificateContainer(IGUIModelContainer** out);
    void SetCertificateContainer(IGUIModelContainer* container);
    // The own certificates of the connection's token, appended to *out; 0.
    HRESULT GetPCI(SET_OF_PersonalCertificateInfo** out, SECAttribute* in);

    // Marks of the broker's credential choice, and the server-session-key
    // options reauthenticate and invalidate-on-exit.
    std::atomic<bool> m_choiceMade {false};
    std::atomic<bool> m_choiceAsked {false};
    std::atomic<bool> m_reauthenticate {false};
    std::atomic<bool> m_invalidateOnExit {false};
    // The application policy asks for a new login; server-session keys serve
    // the connection.
    std::atomic<bool> m_reauthentication {false};
    std::atomic<bool> m_sessionKeyMode {false};

private:
    friend class CModelApplicationConnections;

    unsigned m_id = 0;
    wchar_t* m_name = nullptr;
    CModelClient* m_client = nullptr;
    CComPtr<CComIID<IGUIModel, &IID_IGUIModel>> m_token;
    RetainedText m_tokenURI;
    int64_t m_usage = 0;
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> m_policyApplication;
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> m_policyCommon;
    IUnknown* m_tempKey = nullptr;  // a CModelApplicationTempKey, one reference
    PersonalCertificateInfo* m_selected = nullptr;
    SET_OF_String* m_tokenURIs = nullptr;
    CComPtr<CComIID<IGUIModelContainer, &IID_IGUIModelContainer>> m_certificates;
};

class CModelClient : public CGUIModel<IGUIModelClient>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelClient)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelClient)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelClient)
    ZELK_INTMAP_ENTRY(IGUIModelClient)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelClient; }

    ~CModelClient() override;

    // A record for the process: its name is the path after the last "/"
    // (empty for NULL), converted to wide text as UTF-8.
    static HRESULT New(CModelClient** out, unsigned pid, const char* processPath);

    int Compare(IGUIModelClient* other) override;
    int Compare(IGUIModelApplicationConnection* connection) override;
    unsigned GetGetProcessID() override { return m_pid; }
    const wchar_t* GetProcessName() override { return m_nameW; }
    uint64_t GetApplicationCount() override;
    const wchar_t* GetApplication(unsigned long index) override;

    // A new connection of this client, listed and registered with usage
    // count 1; 0x8007000E and nothing registered when it cannot be made.
    virtual HRESULT StartApplication(const char* name, const char* tokenURI, unsigned* connectionId,
                                     CModelApplicationConnection** out);
    // The first connection of that name and URI (NULL: "kerberos:") loses
    // one use and goes at 0; 0.
    virtual HRESULT StopApplication(const char* name, const char* tokenURI);
    // Removes `connection` from the list (when listed) and steps the revision; 0.
    virtual HRESULT StopApplication(CModelApplicationConnection* connection);
    // The last session of the process ended: every connection ends; 0.
    virtual HRESULT Stop();

    virtual HRESULT SetURL(const char* text);
    virtual HRESULT SetAction(const char* text);
    virtual HRESULT SetDescription(const char* text);
    // UTF-8 texts, "" when unset; a replaced text stays valid while the record lives.
    virtual const char* GetURL();
    virtual const char* GetAction();
    virtual const char* GetDescription();
    virtual HRESULT SetCredUi(ICredUI* dialog);
    // The held dialog with one reference, or NULL; 0.
    virtual HRESULT GetCredUi(ICredUI** out);
    // The process name occurs in `list`, compared without regard to case.
    virtual bool IsInProcessList(const char* list);

    const char* GetProcessNameA() const { return m_name; }
    uint64_t GetStartTime() const { return m_startTime; }

private:
    friend class CModelClients;

    uint64_t m_sessions = 0;  // under the container's lock
    unsigned m_pid = 0;
    uint64_t m_startTime = 0;
    char* m_name = nullptr;
    wchar_t* m_nameW = nullptr;
    RetainedText m_url;
    RetainedText m_action;
    RetainedText m_description;
    CComPtr<CComIID<ICredUI, &IID_ICredUI>> m_dialog;
    AuxIUnknownArray<CModelApplicationConnection> m_connections;
};

class CModelClients : public CGUIModelContainer<IGUIModelClients, CModelClient>,
                      public CSingletonFactoryImpl<CModelClients>,
                      public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelClients)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelClients)
    ZELK_INTMAP_ENTRY(IGUIModelClients)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelClients)
    ZELK_END_INTMAP()

    // A client process connects (creating the list when needed), disconnects
    // or becomes the calling thread's active client: 0, or 0x80004005 when
    // the list does not exist (connect: the list's creation failure).
    static HRESULT ClientConnect(const char* process, unsigned int pid);
    static HRESULT ClientDisconnect(const char* process, unsigned int pid);
    static HRESULT ClientActive(const char* process, unsigned int pid);
    // The calling thread's active client with one reference (NULL when it has
    // none or it left the list): 0; 0x80004005 without the list, `out` untouched.
    static HRESULT GetActiveClient(CModelClient** out);
    // The active client's operation; 0x80004005 without the list or an active client.
    static HRESULT StartApplication(const char* name, const char* tokenURI, unsigned* connectionId,
                                    CModelApplicationConnection** out);
    static HRESULT StopApplication(const char* name, const char* tokenURI);

    // The start time of a process (clock ticks after boot, field 22 of
    // /proc/<pid>/stat), 0 when unknown; a record whose process has gone is
    // replaced by one for the new process of that id. Tests replace it.
    using StartTimeFn = uint64_t (*)(unsigned pid);
    static void SetStartTimeReader(StartTimeFn reader);

private:
    // The record of `pid` with one reference, a new one listed without a
    // revision step when there is none; under the revision lock.
    HRESULT GetClient(const char* process, unsigned pid, CModelClient** out);
    static HRESULT Existing(CModelClients** out);
    bool IsListed(CModelClient* client);
};

class CModelApplicationConnections : public CGUIModelContainer<IGUIModelContainer, CModelApplicationConnection>,
                                     public CSingletonFactoryImpl<CModelApplicationConnections>,
                                     public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplicationConnections)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelContainer)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_INTMAP_ENTRY_IID(IID_CModelApplicationConnections, IGUIModelContainer)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplicationConnections; }

    static HRESULT RegisterConnection(CModelApplicationConnection* connection);
    // Removes a registered connection; when no other connection uses its
    // token URI, that token's automatic logout starts. An unlisted one: 0,
    // nothing else. 0x80004005 without the list.
    static HRESULT UnregisterConnection(CModelApplicationConnection* connection);
    // The registered connection with that id and one reference; 0x80004005
    // without the list or for an unknown id.
    static HRESULT GetConnection(unsigned id, CModelApplicationConnection** out);
};

// What the records reach outside themselves: the token model of a URI (NULL
// when there is none), the own certificates of the token of a URI (appended
// to *out) and the automatic logout of the token of a URI.
HRESULT ConnectionTokenModel(const char* uri, IGUIModel** out);
HRESULT ConnectionTokenPCI(const char* uri, SET_OF_PersonalCertificateInfo** out);
void StartTokenAutoLogout(const char* uri);
// A stopping client leaves the temporary keys; an unregistered connection's
// temporary key (`key`, whose reference this takes over) loses that use.
void TempKeysClientStop(CModelClient* client);
void TempKeyConnectionGone(IUnknown* key);

}  // namespace ZELK::PSESVC
