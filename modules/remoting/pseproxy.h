// The client's PSE: the component "zelk.pseproxy.proxy" that owns the
// connection to the service, and the root proxy that sends every PSE call to
// the service's PSE (object 0), reconnecting once per call after the
// connection broke.
#pragma once

#include <mutex>
#include <string>

#include "kinds.h"
#include "proxy.h"
#include "qev_pse.h"
#include "zelk_object.h"
#include "zelk_pseproxy.h"

namespace ZELK::PSESVC {

class PSEProxyImpl;

class PSEProxy : public Proxy<PSEProxy, PSE> {
public:
    static constexpr ApiType kKind = API_PSE;

    // A root proxy in a registry of its own.
    static PSE* GetInstance(ITunnel* tunnel, uint32_t number);

    void SetOwner(PSEProxyImpl* owner);
    // After a broken exchange: one reconnect through the owner (serialised
    // with the others and with the owner's Disconnect) and the same request
    // once more.
    HRESULT Execute(Transaction* transaction) override;

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

private:
    // The exchange and the result code: false when `*rc` is already the
    // call's answer (a failed exchange, or E_FAIL for a missing code).
    bool Call(Transaction& transaction, HRESULT* rc);
    // A call whose reply is the result code alone.
    HRESULT CallRC(Transaction& transaction);
    template <class T>
    HRESULT CallObject(Transaction& transaction, T** out, bool clearOnFailure);
    HRESULT CallBuffer(Transaction& transaction, unsigned char* out, unsigned long* outLength);

    std::mutex m_ownerLock;
    PSEProxyImpl* m_owner = nullptr;
    StringCache m_fileName;
};

class PSEProxyImpl : public ITunnelSourcePSE, public ITunnelSourceFkt, public ITunnelInfo, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(PSEProxyImpl)
    ZELK_INTMAP_ENTRY(ITunnelSourcePSE)
    ZELK_INTMAP_ENTRY(ITunnelSourceFkt)
    ZELK_INTMAP_ENTRY_IID(IID_ITunnelSource, ITunnelSourcePSE)
    ZELK_INTMAP_ENTRY(ITunnelInfo)
    ZELK_END_INTMAP()

    // With a source: its ITunnel (0x80000003 when it has none). Without: a
    // tunnel of the class given to SetTunnel.
    HRESULT Connect(IUnknown* source) override;
    // Cuts the root from the component and disconnects the tunnel; 0.
    HRESULT Disconnect(IUnknown* source) override;
    HRESULT GetPSE(PSE** out) override;
    // Creates the tunnel and the root; 0x80004005 when the class cannot be made.
    HRESULT SetTunnel(const char* module, const char* className) override;
    // A new tunnel of the class given to SetTunnel.
    HRESULT Reconnect(ITunnel** out);
    HRESULT CreateObject(const char* className, const GUID& iid, void** out) override;
    HRESULT GetType(char** type) override;

    // The component's own reference follows the root's after a reconnect.
    void ReplaceTunnel(ITunnel* tunnel);

protected:
    PSEProxyImpl() = default;
    ~PSEProxyImpl() override;

private:
    ZELK_PTR(ITunnel) CurrentTunnel();
    void MakeRoot(ITunnel* tunnel);

    std::mutex m_lock;
    std::string m_module;
    std::string m_className;
    ZELK_PTR(ITunnel) m_tunnel;
    PSEProxy* m_root = nullptr;
};

}  // namespace ZELK::PSESVC
