// The enrolment client "zelk.kvlogin": one conversation with the enrolment
// server (its HTTPS connection, cookies and protocol object), the key pair,
// the certificate request and the certificate reply.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "kestrin_protocol.h"
#include "qev_crypt.h"
#include "qev_pse.h"
#include "zelk_hashtable.h"
#include "zelk_holders.h"
#include "zelk_kestrin.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_text.h"

ZELK_AUX_TYPE_INDEX(KeyInfo, SEC_TYPE_KeyInfo);
ZELK_AUX_TYPE_INDEX(KeyPair, SEC_TYPE_KeyPair);
ZELK_AUX_TYPE_INDEX(SET_OF_Certificate, SEC_TYPE_SET_OF_Certificate);

namespace kestrin::enrol {

// The longest signature buffer the signing loop grows to.
constexpr uint64_t kMaxSignatureBuffer = 64 * 1024;

// Signs with a buffer that starts at 1024 bytes and doubles while the library
// finds it too short, up to kMaxSignatureBuffer.
HRESULT ZELK_sec_crypt_sign_all(OctetString* data, OctetString** signature, SECAttribute* attributes);

class CKestrin : public IKestrinEx, public CFactoryImpl<CKestrin>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CKestrin)
    ZELK_INTMAP_ENTRY(IKestrin)
    ZELK_INTMAP_ENTRY(IKestrinEx)
    ZELK_END_INTMAP()

    CKestrin();
    ~CKestrin() override;

    // IKestrin
    HRESULT SetPolicy(ZELK_IPolicy* policy) override;
    HRESULT SetASC(ASC* context) override;
    HRESULT Get_Token(OctetString** key, OctetString** certificate, OctetString** chain, OctetString** root) override;
    HRESULT Send_Init(const wchar_t* language) override;
    HRESULT Send_Auth(const wchar_t* user, const wchar_t* password) override;
    HRESULT Send_Auth_SPNEGO(const char* token) override;
    HRESULT Send_ServerPin() override;
    HRESULT Send_NewPin(const wchar_t* pin) override;
    HRESULT Send_DeleteSession(int flag) override;
    HRESULT Send_NextCode(const wchar_t* code) override;
    HRESULT Send_PKCS10() override;
    const wchar_t* GetString(unsigned index) override;
    QM_CLIENT_STATE GetState() override { return m_nState; }
    unsigned GetType() override { return m_nType; }
    HRESULT GetPinFormatInfo(int* minLength, int* maxLength, signed char* alphanumeric) override;
    HRESULT SetKey(const KeyPair* pair) override;
    HRESULT CreateKey(unsigned long keySize) override;
    HRESULT GetPKCS10(OctetString** request) override;
    HRESULT CreatePKCS10(const char* subjectDER, const char* extensionsDER) override;
    HRESULT ImportPKCS7(const OctetString* reply) override;
    HRESULT SetSPNegoCB(IKestrin_SPNegoCB* callback) override;
    HRESULT SetCertNameRequest(const char* name) override;
    HRESULT GetInputObjects(unsigned long index, IKestrinInputField** field) override;
    HRESULT Send_Auth() override;
    HRESULT Cancel() override;
    HRESULT SetClientConfig(IJsonObject* config) override;
    HRESULT GetProtocolVersion() override;
    HRESULT SetClientCertTemplate(const unsigned char* der, unsigned long length) override;
    // IKestrinEx
    HRESULT GetAllCerts(SET_OF_Certificate** certificates) override;

    // What the protocol objects call.
    virtual HRESULT GetPolicy(ZELK_IPolicy** policy);
    virtual HRESULT SetState(QM_CLIENT_STATE state);
    virtual HRESULT Send_Any(const char* body, const char* contentType);
    virtual HRESULT finalize_url();
    virtual HRESULT create_urlRef(const char* url);
    virtual HRESULT url_do_query(const char* body);
    virtual HRESULT ReadCertReply(const OctetString* reply);
    virtual const char* GetHttpResponseHeader(const char* name);
    virtual const char* GetResponseBody();
    virtual OctetString* GetResponseBodyBlob();
    virtual HRESULT GetASC(ASC** context);

    // The URL context and connection for `url` with the policy's time-out,
    // proxy and name checks; `host` (may be null) receives the server's name.
    static HRESULT create_urlRef(ASC* context, url_context** urlContext, url_connection** connection, const char* url,
                                 ZELK_IPolicy* policy, wchar_t** host);

    // Texts and PIN rules the protocol objects set.
    void SetMessage(const wchar_t* text) { m_wstrMessage = text; }
    void SetDisclaimer(const wchar_t* text) { m_wstrDisclaimer = text; }
    void SetServerPIN(const wchar_t* text);
    void SetUserName(const wchar_t* text) { m_wstrUserName = text; }
    void SetPinFormat(int minLength, int maxLength, int alphanumeric);
    void SetErrorMessage(const wchar_t* text) { m_wstrErrorMessage = text; }
    void SetType(unsigned type) { m_nType = type; }
    const char* EnrolURL() const { return m_strURL; }
    // The requested subject name and the template's name lists joined with
    // ","; empty when not held.
    StringT<char> RequestedSubject();
    StringT<char> JoinedNames(bool dns);
    // From now on every request carries a fresh SPNEGO token when a token
    // supplier is held; false without one.
    bool UseSPNegoPerRequest();
    const char* UniqueClientID() const { return m_strUniqueClientID; }
    const char* PKCS10Text() const { return m_strPKCS10; }
    url_connection* Connection() const { return m_pConnection; }

    // Progress call-backs of the key generation.
    static HRESULT KeyGen_ProgressStartTask(SEC_PROGRESS* progress, SEC_PROGRESS_TASK** task, const char* name,
                                            uint64_t total);
    static HRESULT KeyGen_ProgressTaskState(SEC_PROGRESS_TASK* task, uint64_t done, uint64_t total);
    static HRESULT KeyGen_ProgressTaskFinish(SEC_PROGRESS_TASK* task);

private:
    bool Cancelled() const { return m_bCancel.load(); }
    void FreeConnection();

    QM_CLIENT_STATE m_nState = QM_STATE_INIT;
    std::atomic<bool> m_bCancel {false};
    SEC_PROGRESS m_progress;
    SEC_PROGRESS_TASK m_progressTask;
    StringT<char> m_strUniqueClientID;
    StringT<char> m_strAcceptLanguage;
    StringT<wchar_t> m_wstrServerPIN;
    StringT<wchar_t> m_wstrUserName;
    StringT<wchar_t> m_wstrMessage;
    StringT<wchar_t> m_wstrDisclaimer;
    StringT<wchar_t> m_wstrErrorMessage;
    unsigned m_nType = 3;
    int m_nMinPINLength = 0;
    int m_nMaxPINLength = 0;
    unsigned m_nAlphanumeric = 0;
    std::unique_ptr<CKestrin_Protocol> m_pProtocol;
    AuxPtr<OctetString> m_pResponseBody;
    StringT<char> m_strURL;
    StringT<wchar_t> m_wstrURL;
    StringT<wchar_t> m_wstrHost;
    StringT<char> m_strPKCS10;
    AuxPtr<OctetString> m_pPKCS10;
    StringT<char> m_strSubject;
    AuxPtr<SET_OF_String> m_pDNSNames;
    AuxPtr<SET_OF_String> m_pEMailNames;
    url_connection* m_pConnection = nullptr;
    url_context* m_pURLContext = nullptr;
    HashTable_void* m_pCookies = nullptr;
    AuxPtr<KeyPair> m_pKeyPair;
    AuxRefPtr<Certificate> m_pOwnCert;
    AuxPtr<SET_OF_Certificate> m_pChain;
    AuxRefPtr<Certificate> m_pRootCert;
    ZELK_PTR(ZELK_IPolicy) m_pPolicy;
    AuxRefPtr<ASC> m_pASC;
    ZELK_PTR(IKestrin_SPNegoCB) m_pSPNegoCB;
    bool m_bSPNego = false;
    // Guards the security context, and the key pair and request subject,
    // which the token's key thread writes while the login thread reads them.
    std::recursive_mutex m_cs;
};

}  // namespace kestrin::enrol
