// The embedding interface's provider: one enrolment at a time on a login
// thread of its own, driving the enrolment client "zelk.kvlogin" and asking
// the host's handler what the server wants to know.
#pragma once

#include <atomic>
#include <mutex>

#include "kvc_login.h"
#include "kvc_pse.h"
#include "zelk_holders.h"
#include "zelk_kestrin.h"
#include "zelk_kvc.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_text.h"

namespace kestrin::enrol {

class KVC_Provider : public KVC_IProvider, public CFactoryImpl<KVC_Provider>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(KVC_Provider)
    ZELK_INTMAP_ENTRY(KVC_IProvider)
    ZELK_END_INTMAP()

    // A new provider with one reference for the caller; it calls `handler`
    // but holds no reference on it between logins.
    static HRESULT New(KVC_Provider** out, KVC_IHandler* handler);

    KVC_Provider() = default;
    // Waits for a login thread that still runs.
    ~KVC_Provider() override;

    HRESULT setTLSTrustAnchors(KVC_IPSE* anchors) override;
    HRESULT setClientCert(KVC_IPSE* certificate) override;
    HRESULT startLogin(const char* url, int flags) override;
    HRESULT startLoginEx(const char* url, KVC_IPSE* renewalTemplate, int flags) override;
    HRESULT cancel() override;
    HRESULT wait(int milliseconds) override;
    HRESULT getEngine(const GUID& iid, void** out) override;
    HRESULT setProxy(const char* proxyUrl) override;

    virtual unsigned loginThread();
    virtual unsigned createTokenThread();

private:
    // Whether a login thread is held: started and not ended with a result.
    bool LoginHeld();
    HRESULT EnsureConfiguration();
    // The security context of the TLS credentials set.
    HRESULT MakeContext(ASC** out);
    // Joins the key thread when one runs.
    void WaitKeyThread();
    void SetEngine(IKestrin* client);
    // The end of a login through the handler's loginFailed.
    unsigned Failed(KVC_IHandler* handler, HRESULT result, const wchar_t* message);
    // The end after a step failed: the client is let go.
    unsigned StepFailed(KVC_IHandler* handler, IKestrin* client, HRESULT result);
    unsigned Result(KVC_IHandler* handler, IKestrin* client);
    // Asks the handler; false when it cancelled (*answer is its answer).
    bool Ask(KVC_IHandler* handler, KVC_LoginData* question, const wchar_t* message, HRESULT* answer);

    KVC_IHandler* m_handler = nullptr;
    AuxRefPtr<KVC_PSE> m_anchors;
    AuxRefPtr<KVC_PSE> m_clientCert;
    AuxRefPtr<KVC_PSE> m_template;
    StringT<char> m_url;
    ZELK_PTR(ZELK_IPolicy) m_config;
    // The login thread's handle: only the host's calls (start, wait, the
    // destructor) touch it, under the lock, and they join the thread; the
    // thread itself only marks that it ended with a result.
    std::mutex m_threadLock;
    ZELK::Thread m_loginThread;
    std::atomic<bool> m_loginReleased {false};
    ZELK::Thread m_keyThread;
    std::mutex m_engineLock;
    ZELK_PTR(IKestrin) m_engine;
    AuxRefPtr<KVC_LoginData> m_question;
};

}  // namespace kestrin::enrol
