// The token of one enrolment profile: while the user is logged in, the
// certificate and key the enrolment server issued live in the token's
// in-memory software token (and, for the plain kind, in the key store). The
// login runs the dialogue with the enrolment server; tasks re-enrol, retry
// and log out on a schedule.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "kerberos.h"
#include "qev_values.h"
#include "token.h"
#include "zelk_base_core.h"
#include "zelk_class.h"
#include "zelk_gui.h"
#include "zelk_kestrin.h"
#include "zelk_resloader.h"

ZELK_DEFINE_GUID(IID_CToken_KV, 0x0BB4F5BC, 0xEE05, 0x4DD9, 0x9B, 0xDA, 0x06, 0x62, 0xB4, 0x4D, 0x71, 0xFE);

ZELK_AUX_TYPE_INDEX(KeyPair, SEC_TYPE_KeyPair);
ZELK_AUX_TYPE_INDEX(KeyInfo, SEC_TYPE_KeyInfo);

namespace POL::KESTRIN::PROFILE {
inline constexpr const char* PSE_TYPE = "PseType";
inline constexpr const char* AUTO_ENROLL = "AutoEnroll";
inline constexpr const char* ENROLL_URL = "enrollURL";
inline constexpr const char* AUTOENROLL_TRIES = "autoReenrollTries";
inline constexpr const char* NEW_PIN_TYPE = "NewPinType";
inline constexpr const char* GRACE_PERIOD = "gracePeriod";
inline constexpr const char* REAUTHENTICATION = "ReAuthentication";
inline constexpr const char* AUTO_LOGOUT = "AutoLogout";
inline constexpr const char* SERVICE_PRINICPAL_NAME = "servicePrincipalName";
}  // namespace POL::KESTRIN::PROFILE

namespace ZELK::PSESVC {

// An operation of a token kind that does not offer it.
constexpr HRESULT E_TOKEN_NOTSUPPORTED = ZELK_RC(0xA1D00105);

class CToken_KV : public CToken, public IKestrin_SPNegoCB, public ICredEventCallback {
public:
    // The cached credentials of the profile: user names, the last identity's
    // certificates, and password and key kept scrambled under a key of this
    // object alone.
    class CUserInfo {
    public:
        // With `scrambled`, makes the object's own scrambler.
        explicit CUserInfo(bool scrambled);
        virtual ~CUserInfo();
        CUserInfo(const CUserInfo&) = delete;
        CUserInfo& operator=(const CUserInfo&) = delete;

        virtual HRESULT SetUserName(const wchar_t* name);
        virtual HRESULT SetOldUserName(const wchar_t* name);
        virtual HRESULT DeleteUserNames();
        virtual HRESULT DeleteUserInfo();
        virtual bool HasCredentials();
        virtual bool HasPassword();
        // NULL drops the password.
        virtual HRESULT SetPassword(const wchar_t* password);
        // A new clear copy for the caller, who wipes and frees it.
        virtual HRESULT GetPassword(wchar_t** password);
        virtual HRESULT DeletePassword();
        virtual bool HasKey();
        virtual HRESULT SetKey(OctetString* key);
        // A new clear copy for the caller, who wipes and frees it.
        virtual HRESULT GetKey(OctetString** key);
        virtual HRESULT DeleteKey();
        virtual bool HasCerts();
        virtual OctetString* GetCert();
        virtual OctetString* GetCACerts();
        virtual OctetString* GetRootCert();
        virtual HRESULT DeleteCerts();
        // The identity the enrolment client holds: certificates as they are,
        // the key scrambled; the result of Get_Token.
        virtual HRESULT SetFromKV(IKestrin* client);

        const wchar_t* GetUserName() const { return m_userName; }
        const wchar_t* GetOldUserName() const { return m_oldUserName; }

    private:
        StringT<wchar_t> m_userName;
        StringT<wchar_t> m_oldUserName;
        AuxPtr<OctetString> m_cert;
        AuxPtr<OctetString> m_caCerts;
        AuxPtr<OctetString> m_rootCert;
        AuxPtr<OctetString> m_password;
        AuxPtr<OctetString> m_key;
        CComPtr<CComIID<IScrambler, &IID_IScrambler>> m_scrambler;
    };

    ZELK_BEGIN_INTMAP(CToken_KV)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_KV)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_INTMAP_ENTRY(IKestrin_SPNegoCB)
    ZELK_INTMAP_ENTRY(ICredEventCallback)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CToken_KV; }

    CToken_KV();
    ~CToken_KV() override;

    IGUIModelToken_Type GetTokenType() override;
    HRESULT Init(SecToken* token, CModelToken* model, const char* readerName) override;
    const char* GetPolicyPath() override;
    int Login(ICredUI* dialog) override;
    int Logout(ICredUI* dialog) override;
    int Reauth(ICredUI* dialog) override;
    int ChangePin(ICredUI* dialog) override;
    int UnblockPin(ICredUI* dialog) override;
    HRESULT GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out) override;
    bool NeedLogin() override;
    HRESULT RefreshModel() override;
    HRESULT InitVerbs() override;
    using CVerbHost::InitVerbs;

    // The profile's enrolment addresses as a list of terminated texts ended
    // by an empty one, for the caller to free.
    virtual HRESULT GetEnrollURLs(char** list);
    // A new enrolment client set up with a security context and the profile.
    virtual HRESULT GetNewKVHandle(IKestrin** out);
    // Both stay valid for the life of the token.
    virtual const char* GetProfileName();
    virtual const char* GetProfileType();
    // For a caller that drives the token itself: its own key, policy and
    // scheduling.
    virtual HRESULT InitEx(SecToken* token, CModelToken* model, const char* readerName, const KeyPair* keyPair,
                           bool externallyManaged, ZELK_IPolicy* policy, const char* certNameRequest);
    virtual int ReenrollTask();
    virtual int LogoutTask();
    virtual int AutoEnrollTask();
    virtual int RetryEnrollTask();
    virtual int CheckClientChangeTask();
    virtual int LoginAs(ICredUI* dialog);
    virtual int LoginAs(ICredUI* dialog, const wchar_t* user);
    // The dialogue with the enrolment server.
    virtual int LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user);
    virtual HRESULT LoginWithKVHandle(IKestrin* client);
    virtual HRESULT SetGVXName(const char* name);
    HRESULT CreateSPNegoToken(const char* service, char** token) override;
    virtual HRESULT CreateSPNegoToken(ICredUI* dialog, bool loginAs, const wchar_t* user, const char* service,
                                      char** token);
    HRESULT CancelEvent() override;
    virtual HRESULT Open_Init(ICredUI* dialog);
    virtual HRESULT Open_Auth(ICredUI* dialog);
    virtual HRESULT Open_Auth(ICredUI* dialog, const wchar_t* user);
    virtual HRESULT Open_AuthSPNEGO(ICredUI* dialog, bool loginAs, const wchar_t* user);
    virtual HRESULT Open_NextCode(ICredUI* dialog);
    virtual HRESULT Open_NewPin(ICredUI* dialog);
    virtual HRESULT Open_PKCS10(ICredUI* dialog);
    virtual HRESULT Open_Done(ICredUI* dialog);
    virtual HRESULT Open_UpdateUI(ICredUI* dialog, ZELK_IPolicy* policy);
    // The text of an enrolment result, a new text for the caller; `code` is
    // not written. Always 0.
    virtual HRESULT MakeQMErrorText(int rc, wchar_t** text, unsigned* code);
    // A text of the desktop application's bundle, owned by the bundle.
    virtual const wchar_t* GetString(const char* key);
    virtual HRESULT ClearScheduledTasks(bool all);
    virtual HRESULT ConfigureScheduledTasks(signed char reenrol);
    virtual HRESULT ConfigureRetryEnrollTask(int rc);
    // The key-generation thread's body.
    virtual unsigned CreateToken();
    // 0 installed, 1 installed but not valid now, negative on failure.
    virtual HRESULT UpdateToken();
    virtual HRESULT UpdateToken(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                                const Certificate* rootCert);
    virtual HRESULT UpdateToken(SecToken* target, const KeyInfo* key, const Certificate* cert,
                                const SET_OF_Certificate* caCerts, const Certificate* rootCert, bool import);
    // Valid now, and beyond `margin` seconds from now when a margin is given.
    virtual bool IsValidCert(const Certificate* cert, unsigned long margin);
    // Ends the client side of a login; 0.
    virtual HRESULT DeleteSession(signed char forgetNames);
    // Shown unless silent (or forced) and unless the profile hides errors.
    virtual HRESULT GuiPopupErr(ICredUI* dialog, const wchar_t* text, unsigned code, bool force);

    using CToken::ClearScheduledTasks;
    using CToken::ConfigureScheduledTasks;

    // The factory the token manager uses: the kind by the profile's PSE type.
    static HRESULT New(const char* readerName, const GUID& iid, void** out);
    // The same, with one reference for the caller.
    static HRESULT New(const char* readerName, CToken** out);
    // The registry's creators: a plain token.
    static HRESULT New(const GUID& iid, void** out);
    static HRESULT NewTest(const GUID& iid, void** out);
    static HRESULT ReaderNameToProfile(const char* readerName, char** profile);
    static HRESULT ProfileToPolicy(const char* profile, ZELK_IPolicy** out);
    static HRESULT ReaderNameToPolicy(const char* readerName, ZELK_IPolicy** out);
    static bool IsValidPolicy(ZELK_IPolicy* policy);
    // The creator of the local-server kind (PSE type "hearthgate"); without
    // one such a profile gets no token.
    static void SetLocalServerFactory(ZELK_CREATOR_FN factory);

protected:
    // A policy number read as signed.
    int32_t PolicyInt(const char* name);
    // Around a login on the calling thread: the end runs a logout another
    // thread asked for meanwhile.
    void BeginLogin();
    void EndLogin();
    // The body of LoginWithKVHandle.
    HRESULT InstallFromClient(IKestrin* client);
    // "showErrorMsg" or "showSuccessMsg": on unless the profile sets 0.
    bool PolicyMessageFlag(const char* name);
    // The auto-enrolment wait: released when the first login after Init ends,
    // whatever its outcome, and at destruction.
    void EndAutoEnrollWait();
    // Marks the auto-enrolment pending and queues its task.
    void ScheduleAutoEnroll();
    // The enrolment client of the running login, without a reference: only
    // the login thread releases it.
    IKestrin* Client();
    void ShowStatus(ICredUI* dialog, const char* key, bool busy);
    void ClearStatus(ICredUI* dialog);
    // Waits for the key-generation thread, when there is one, and closes it.
    void WaitForKey(ICredUI* dialog);
    void ReportStepFailure(ICredUI* dialog, HRESULT rc, bool force);
    int RunDialogue(ICredUI* dialog, bool loginAs, const wchar_t* user);
    // Reads the values a login refreshes; the ReAuthentication value.
    uint32_t ReadLoginPolicy();
    void StartKey(ICredUI* dialog);
    // Whether a password is cached; the prompt's description.
    bool PrepareAuth(ICredUI* dialog, StringT<wchar_t>& description);
    HRESULT Ask(ICredUI* dialog, const wchar_t* text, ICredUIAsk* first, ICredUIAsk* second);
    HRESULT ImportIdentity(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                           const Certificate* rootCert);
    // The key-store name of the profile's identity.
    StringT<char> IdentityName();
    // Blocks while the auto-enrolment is pending; clears the pending flag.
    void WaitForAutoEnroll();
    // A verb run by a task: no prompt where cached credentials suffice.
    int RunVerbSilently(const char* verb);
    HRESULT AddTask(const char* name, int (CToken_KV::*member)(), unsigned long long time, unsigned int unit);
    HRESULT DeleteTask(int (CToken_KV::*member)());

    StringT<char> m_profileName;
    StringT<char> m_pseType;
    CComPtr<CComIID<IKestrin, &IID_IKestrin>> m_kv;
    std::atomic<bool> m_autoEnrollPending {false};
    std::mutex m_autoEnrollLock;
    std::condition_variable m_autoEnrollDone;
    std::atomic<bool> m_cancelRequested {false};
    std::atomic<bool> m_loggedOut {true};
    std::atomic<bool> m_silent {false};
    CUserInfo* m_userInfo = nullptr;
    std::atomic<int32_t> m_reenrollTries {0};
    int32_t m_gracePeriod = 0;
    StringT<char> m_newPinType;
    CComPtr<CComIID<IResourceManager, &IID_IResourceManager>> m_texts;
    bool m_spnegoUsed = false;
    CKerberos* m_kerberos = nullptr;
    bool m_externallyManaged = false;
    AuxPtr<KeyPair> m_presetKeyPair;
    StringT<char> m_certNameRequest;
    CComPtr<CComIID<ICredUI, &IID_ICredUI>> m_dialog;
    bool m_loginAs = false;
    Thread m_keyThread;
    // Logins running (through the dialogue, or completing from a finished
    // client): a logout from elsewhere only cancels them and leaves the
    // logout to the end of the last one.
    std::atomic<int> m_loginsRunning {0};
    std::atomic<bool> m_logoutPending {false};
    std::atomic<std::thread::id> m_loginThread {};
    // Prompts shown so far: a failing step that asked nothing is told apart.
    uint64_t m_prompts = 0;
    // Guards the enrolment client between the login and other threads.
    CriticalSection m_csSession;
    bool m_autoEnrollReleased = false;
    // When the last re-enrolment task ran, in seconds since 1970.
    std::atomic<uint64_t> m_lastReenroll {0};

    static inline std::atomic<ZELK_CREATOR_FN> s_localServerFactory {nullptr};
};

// The web-adapter kind: logged in by the local web server, never by a
// connection, and logged out when its certificate expires.
class CToken_KV_WebAdapter : public CToken_KV {
public:
    IGUIModelToken_Type GetTokenType() override;
    HRESULT DoVerbByReason(IGUIVerb_Reason reason) override;
    HRESULT InitVerbs() override;
    using CVerbHost::InitVerbs;
};

}  // namespace ZELK::PSESVC
