// The token base: one token object of the crypto library with its PIN, the
// token's own certificate records, its verbs, its GUI model and its logout
// after user inactivity. The token kinds derive from it.
#pragma once

#include <atomic>
#include <cstdint>

#include "../model/model_tokens.h"
#include "qev_records.h"
#include "qev_token.h"
#include "verb_host.h"
#include "zelk_gui.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_text.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CToken, 0xC44D5A16, 0xCCAB, 0x4D06, 0xA2, 0xDA, 0x02, 0xA1, 0xD4, 0xCA, 0xFA, 0x8A);

ZELK_AUX_TYPE_INDEX(SET_OF_PersonalCertificateInfo, SEC_TYPE_SET_OF_PersonalCertificateInfo);

namespace ZELK::PSESVC {

// Why a verb is run: 0 a login when the token needs one, 3 a new
// authentication of the user.
enum IGUIVerb_Reason : int {
    IGUIVerb_Reason_Login = 0,
    IGUIVerb_Reason_Reauth = 3,
};

class CToken : public IUnknown, public CVerbHost, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CToken)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CToken; }

    CToken() = default;

    virtual IGUIModelToken_Type GetTokenType();
    // Holds token and model, sets the model's type, creates the verbs and
    // reads the certificates; the result of RefreshPCI.
    virtual HRESULT Init(SecToken* token, CModelToken* model, const char* name);
    // Rebuilds the own-certificate records from the token's certificates.
    virtual HRESULT RefreshPCI();
    virtual HRESULT OpenPolicy();
    virtual const char* GetPolicyPath();
    virtual HRESULT GetToken(SecToken** out);
    virtual bool IsInReader(const char* name);
    // Appends a copy of every record at the end of *list.
    virtual HRESULT GetPCI(SET_OF_PersonalCertificateInfo** list);
    // The first record's certificate with a reference; 1 and NULL without one.
    virtual HRESULT GetOwnCert(Certificate** out);
    virtual HRESULT RegisterOwnCerts(bool disabled);
    virtual int ShowCert(ICredUI* dialog);
    virtual int Login(ICredUI* dialog);
    virtual int Logout(ICredUI* dialog);
    virtual int Reauth(ICredUI* dialog);
    virtual int ChangePin(ICredUI* dialog);
    virtual int UnblockPin(ICredUI* dialog);
    // The token object's name, owned by it.
    virtual HRESULT GetTokenUrl(const char** url);
    virtual HRESULT Sign(const char* keyId, const AlgId* algorithm, bool flag, const unsigned char* in,
                         unsigned long inLength, unsigned char* out, unsigned long* outLength,
                         SECAttribute* attributes);
    virtual HRESULT Decrypt(const char* keyId, const AlgId* algorithm, const unsigned char* in, unsigned long inLength,
                            unsigned char* out, unsigned long* outLength, SECAttribute* attributes);
    // "verb.reauth" for reason 3, else "verb.login" while a login is needed;
    // 0 and *out untouched when no verb is due.
    virtual HRESULT GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out);
    // Runs that verb in the desktop application; 1 without a verb.
    virtual HRESULT DoVerbByReason(IGUIVerb_Reason reason);
    virtual HRESULT DoVerbByName(const char* name);
    // The verbs without references (valid while the token lives).
    virtual HRESULT GetVerbs(unsigned long* count, IGUIVerb*** verbs);
    virtual HRESULT ClearScheduledTasks();
    // Schedules the inactivity logout after a login.
    virtual HRESULT ConfigureScheduledTasks();
    virtual int InactivityTask();
    // True while the PIN is not verified.
    virtual bool NeedLogin();
    virtual bool HaveCerts();
    virtual HRESULT FinishedPrivateKeyOperation();
    virtual HRESULT GetTokenModel(CModelToken** out);
    ~CToken() override;
    virtual HRESULT RefreshModel();
    virtual HRESULT UiUpdateProfile(ICredUI* dialog);

    // Runs a verb of any host in the desktop application; 1 without a verb
    // of that name.
    static HRESULT DoVerbByName(CVerbHost* host, const char* name);
    // Seconds since the user's last input; -1 when unknown.
    static int64_t GetSystemIdleTime();
    // Replaces the idle-time source (NULL restores the display's).
    static void SetIdleTimeSource(int64_t (*source)());
    // The name and try count of a PIN; 0x80004005 for a NULL PIN.
    static HRESULT TokenPIN_GetInfo(TokenPIN* pin, wchar_t** name, int* count);

protected:
    // The policy value "inactivityTimeout" of the token's path; 0 when absent.
    uint32_t InactivityTimeout();
    const char* Name() const { return m_name; }

    // One reference, released by the destructor.
    CModelToken* m_model = nullptr;
    AuxRefPtr<SecToken> m_token;
    StringT<char> m_name;
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> m_policy;
    std::atomic<bool> m_tasksScheduled {false};
    CriticalSection m_cs;
    AuxPtr<SET_OF_PersonalCertificateInfo> m_certificates;

private:
    CriticalSection m_csPolicy;
};

}  // namespace ZELK::PSESVC
