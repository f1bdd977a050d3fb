// ZELK::ZELKPSE::Base: a PSE over one slot with its token, a list of own
// certificates and a list of trusted certificates. It answers from these,
// signs and decrypts with the token's private keys and gives every other
// operation a fixed answer. Slot, token and own list form one snapshot that
// a subclass may replace while other threads work on the one they took.
#pragma once

#include <memory>
#include <mutex>

#include "pse_values.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "zelk_object.h"

namespace ZELK::ZELKPSE {

struct TokenContents {
    AuxRefPtr<SecSlot> slot;
    AuxRefPtr<SecToken> token;
    OwnList own;
};

// 1 when the info meets every attribute of the filter that this PSE knows.
int testOwnCertificate(PersonalCertificateInfo* entry, SECAttribute* filter);

class Base : public PSE, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Base)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, PSE)
    ZELK_END_INTMAP()

    const char* getType() override { return nullptr; }
    HRESULT cpy(PSE**) override { return S_OK; }
    int cmp(const PSE*) override { return 0; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return S_OK; }

    HRESULT getOwnCertificate(const History* history, SECAttribute* filter,
                              SET_OF_PersonalCertificateInfo** out) override;
    HRESULT encryptDigest(const History* history, SECAttribute* attributes, const unsigned char* digest,
                          unsigned long digestLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT decryptKey(const History* history, SECAttribute* attributes, const unsigned char* in,
                       unsigned long inLength, unsigned char* out, unsigned long* outLength) override;
    HRESULT searchCertificate(SECAttribute* filter, SET_OF_Certificate** out) override;
    HRESULT readApplObject(const char* name, OctetString** out) override;
    HRESULT writeApplObject(const char*, OctetString*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT listApplObjects(SET_OF_String** out) override;
    HRESULT getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out) override;
    HRESULT getCertificate(const char* tokenName, const char* keyId, const char* label,
                           TokenObjectCertificate** out) override;
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo**) override { return E_PSE_NOTSUPPORTED; }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo**) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char flag) override;
    HRESULT getSlots(SecSlot** slots, unsigned long* count) override;
    HRESULT getTokenByName(SecToken** out, const char* name, unsigned char flag) override;
    HRESULT getSlotEvents(SecSlotEvents**) override { return E_PSE_NOTSUPPORTED; }
    HRESULT isInTrustedCerts(const Certificate* certificate) override;
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override;
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override;
    HRESULT addTrustedCertListItem(const Certificate*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT deleteTrustedCertListItem(const DName*, unsigned long) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override;
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return S_OK; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override { return S_OK; }
    HRESULT getPasswordList(SET_OF_PIN_Info**) override { return S_OK; }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override
    {
        return S_OK;
    }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return S_OK;
    }
    HRESULT releaseTokenCache(const char*) override { return S_OK; }
    HRESULT getPseFileName(const char**) override { return S_OK; }
    HRESULT cred_list(SET_OF_String**) override { return S_OK; }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override { return S_OK; }
    HRESULT cred_initCredUpdate() override { return S_OK; }
    HRESULT loginBySystemParameters(const char*) override { return S_OK; }
    HRESULT loginWithPassword(const char*, const unsigned char*, unsigned long) override { return S_OK; }
    HRESULT cred_delete(const char*) override { return S_OK; }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return S_OK;
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return S_OK; }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return S_OK;
    }
    HRESULT cred_finalCredUpdate() override { return S_OK; }
    HRESULT control(SECAttribute* in, SECAttribute* out) override;

protected:
    Base() = default;
    ~Base() override = default;

    // The slot, token and own list in force; callers keep it while they use it.
    std::shared_ptr<const TokenContents> Contents() const;
    void SetContents(std::shared_ptr<const TokenContents> contents);

    // Filled at creation, read-only afterwards.
    CertificateList m_trusted;

private:
    HRESULT KeyObject(SECAttribute* attributes, std::shared_ptr<const TokenContents>& contents,
                      TokenObjectPrivateKey** key);

    mutable std::mutex m_contentsLock;
    std::shared_ptr<const TokenContents> m_contents = std::make_shared<TokenContents>();
};

}  // namespace ZELK::ZELKPSE
