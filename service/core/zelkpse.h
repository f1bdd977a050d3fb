// The service PSE: the crypto library's PSE of every security context made
// with the provider name "zelk". The object, its ASC and token filter, its
// application objects and control channel, and the class's functions for
// reader slots and client connections.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "zelk_gui.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_sync.h"
#include "zelk_text.h"

ZELK_DEFINE_GUID(IID_ZELKPSE, 0x2E7F4B90, 0x6C1D, 0x4B8A, 0x9F, 0x52, 0x0E, 0xA3, 0x71, 0xD6, 0x28, 0x4C);

namespace ZELK::PSESVC {

// A named value of the service PSE; the value may be NULL.
struct sApplObject {
    std::string name;
    OctetString* value = nullptr;
};

// True when the info passes every attribute of the filter chain.
bool sec_store_test_own_Certificate(PersonalCertificateInfo* info, SECAttribute* filter);

class ZELKPSE : public PSE, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(ZELKPSE)
    ZELK_INTMAP_ENTRY_CLASS(IID_ZELKPSE)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_ZELKPSE; }

    ZELKPSE() = default;
    ~ZELKPSE() override;

    const char* getType() override;
    HRESULT cpy(PSE** out) override;
    int cmp(const PSE* other) override;
    HRESULT print(char** out, const char* indent, PRINT_CTX* context) override;

    HRESULT getOwnCertificate(const History* history, SECAttribute* filter,
                              SET_OF_PersonalCertificateInfo** out) override;
    HRESULT encryptDigest(const History* history, SECAttribute* attributes, const unsigned char* digest,
                          unsigned long digestLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT decryptKey(const History* history, SECAttribute* attributes, const unsigned char* in,
                       unsigned long inLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT searchCertificate(SECAttribute* filter, SET_OF_Certificate** out) override;
    HRESULT readApplObject(const char* name, OctetString** out) override;
    HRESULT writeApplObject(const char* name, OctetString* value) override;
    HRESULT listApplObjects(SET_OF_String** out) override;
    HRESULT getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out) override;
    HRESULT getCertificate(const char* tokenName, const char* keyId, const char* label,
                           TokenObjectCertificate** out) override;
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) override;
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo* infos) override;
    HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) override;
    HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char flag) override;
    HRESULT getSlots(SecSlot** slots, unsigned long* count) override;
    HRESULT getTokenByName(SecToken** out, const char* name, unsigned char flag) override;
    HRESULT getSlotEvents(SecSlotEvents** out) override;
    HRESULT isInTrustedCerts(const Certificate* certificate) override;
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override;
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override;
    HRESULT addTrustedCertListItem(const Certificate* certificate) override;
    HRESULT deleteTrustedCertListItem(const DName* name, unsigned long number) override;
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override;
    HRESULT addCertInfoListItem(const PersonalCertificateInfo* info) override;
    HRESULT deleteCertInfoListItem(const char* tokenName, const char* keyId, const char* label,
                                   unsigned long number) override;
    HRESULT getPasswordList(SET_OF_PIN_Info** out) override;
    HRESULT addPasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                const char* item4) override;
    HRESULT deletePasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                   const char* item4, unsigned long number) override;
    HRESULT releaseTokenCache(const char* tokenName) override;
    HRESULT getPseFileName(const char** name) override;
    HRESULT cred_list(SET_OF_String** out) override;
    HRESULT cred_getParameters(const char* name, CredType* type, unsigned char* flag, unsigned long* value) override;
    HRESULT cred_initCredUpdate() override;
    HRESULT loginBySystemParameters(const char* name) override;
    HRESULT loginWithPassword(const char* name, const unsigned char* password, unsigned long length) override;
    HRESULT cred_delete(const char* name) override;
    HRESULT cred_addPassword(const char* name, const unsigned char* password, unsigned long length,
                             const unsigned char* secret, unsigned long secretLength) override;
    HRESULT cred_addSystemParameters(const char* name, const char* parameters) override;
    HRESULT cred_change(const char* name, const unsigned char* password, unsigned long length, const char* newPassword,
                        unsigned long newLength) override;
    HRESULT cred_finalCredUpdate() override;
    HRESULT control(SECAttribute* in, SECAttribute* out) override;
    // Opens the real PSE once: 0 when it is open; quietly without asking the
    // user. One opener at a time; the others wait for its outcome.
    virtual HRESULT needRealPSE(bool quiet);
    // The trust store takes in the real PSE's trusted list.
    virtual HRESULT updateTrust();
    // The dialog for a missing PSE; its answer, 0 with a real PSE, else -1.
    virtual HRESULT create();
    virtual HRESULT createThread();
    virtual HRESULT createAutomatic(const char* password);
    // Logs the real PSE in: 0 when logged in or after the dialog, 1 when
    // quiet (or headless) and still locked, -1 without a real PSE.
    virtual HRESULT login(bool quiet);
    virtual HRESULT loginThread();
    virtual HRESULT loginThreadCreatePassword();
    virtual HRESULT loginAutomatic();
    virtual const char* getCredName() { return m_credName; }

    PSE* RealPSE() const { return m_realPSE.load(); }
    bool LoggedIn() const { return m_loggedIn.load(); }

    // The same ASC again: 1. The ASC is referenced only while the object has
    // a holder besides its creator.
    virtual HRESULT SetASC(ASC* asc);
    // Restricts the own certificates to the crypto library's own: 0.
    virtual HRESULT SetFilterPolicy(ZELK_IPolicy* policy);

    // The ASC is held while someone besides the ASC holds this object: from
    // the second reference on, until the count falls back to one.
    long InternalAddRef()
    {
        long count = CComObjectRoot::InternalAddRef();
        // A reference taken through QueryInterface passed by the count alone.
        if (count >= 2 && !m_ascHeld.load())
            HoldASC();
        return count;
    }
    long InternalRelease()
    {
        long count = CComObjectRoot::InternalRelease();
        if (count == 1)
            HoldASC();
        return count;
    }

    ASC* GetASC() const { return m_asc; }
    const MultiStringT& TokenFilter() const { return m_tokenFilter; }

    // A new object in *out with one reference: 0x80040003 without `out`,
    // 0x80000003 without an ASC.
    static HRESULT New(ASC* asc, PSE** out);

    // The slot of a reader: a name without ":" is a PC/SC reader, "secpcsc:" + name.
    static HRESULT getSlotByReader(SecSlot** out, const char* reader, bool flag);
    // A new copy of "None": the service holds no connection to another service.
    static HRESULT GetConnectionInfo(char** out);
    // The connection from a client process to a service, which the service
    // never opens: 1 with *out NULL.
    static HRESULT ConnectToServer(signed char reset, PSE** out);
    static HRESULT GetProxy(PSE** out);
    static HRESULT DisconnectFromServer();
    // The socket server's tunnel source, through which the user object
    // reaches the session's user switch; NULL while none serves.
    static void SetTunnelSource(IUnknown* source) { s_tunnelSource.store(source); }
    // Slot 3 of the crypto library's own "SEC_PSE_1".
    static HRESULT getSlot(SecSlot** out, const char* name);

private:
    // Takes or drops the reference on the ASC as the current count asks;
    // counts that cross 2 on several threads settle on the last count.
    void HoldASC();
    HRESULT OpenRealPSE(bool quiet);
    // Starts `worker` on a detached thread with a credential dialog and waits
    // in the dialog until the worker ends it; the creation's failure without one.
    HRESULT RunDialog(unsigned (ZELKPSE::*worker)());
    unsigned CreateWorker();
    unsigned LoginWorker();
    // The ASC's own PSE as the real PSE.
    HRESULT Adopt();
    // The signature layer's own certificates: the token it logs in for the caller.
    HRESULT SignatureLayerCertificates(SECAttribute* filter, SET_OF_PersonalCertificateInfo* collected,
                                       SET_OF_PersonalCertificateInfo** cursor, bool& decided);
    bool InTokenFilter(const char* uri) const;
    HRESULT RunApplCommand(const char* name, const OctetString* value);
    HRESULT UserSwitch(const OctetString* value);
    HRESULT ControlPath(const char* path, SECAttribute* in, SECAttribute* out);

    ASC* m_asc = nullptr;
    std::atomic<bool> m_ascHeld {false};
    std::mutex m_ascLock;
    MultiStringT m_tokenFilter;
    // Written once by the opening; read without a lock.
    std::atomic<PSE*> m_realPSE {nullptr};
    std::atomic<bool> m_open {false};
    std::atomic<bool> m_loggedIn {false};
    std::mutex m_openLock;
    std::condition_variable m_openDone;
    bool m_opening = false;
    uint64_t m_openings = 0;
    HRESULT m_openResult = 0;
    bool m_openQuiet = true;
    StringT<char> m_credName;
    std::mutex m_dialogLock;
    AuxRefPtr<ICredUI> m_credDialog;
    // Every client session shares the list, so reads, replacements and
    // appends go under its lock.
    std::mutex m_applLock;
    std::vector<sApplObject*> m_applObjects;

    static std::atomic<IUnknown*> s_tunnelSource;
    static CriticalSection s_cs;
    static PSE* s_pPSEProxy;
    static PSE* s_pPSE;
    static bool s_bIsLocalClient;
    static bool s_bIsRemoteClient;
};

}  // namespace ZELK::PSESVC
