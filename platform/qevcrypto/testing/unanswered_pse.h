// A PSE that answers every operation E_NOTIMPL and counts its references, for
// the test modules, benchmarks and fuzz targets that answer a few operations
// and nothing else: they override just those. Header only, so that modules
// without the test doubles' library can use it.
#pragma once

#include <atomic>

#include "qev_pse.h"

namespace kestrin::qevtest {

class UnansweredPSE : public PSE {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    const char* getType() override { return "UnansweredPSE"; }
    HRESULT cpy(PSE**) override { return E_NOTIMPL; }
    int cmp(const PSE* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT getOwnCertificate(const History*, SECAttribute*, SET_OF_PersonalCertificateInfo**) override
    {
        return E_NOTIMPL;
    }
    HRESULT encryptDigest(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                          unsigned long*) override
    {
        return E_NOTIMPL;
    }
    HRESULT decryptKey(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                       unsigned long*) override
    {
        return E_NOTIMPL;
    }
    HRESULT searchCertificate(SECAttribute*, SET_OF_Certificate**) override { return E_NOTIMPL; }
    HRESULT readApplObject(const char*, OctetString**) override { return E_NOTIMPL; }
    HRESULT writeApplObject(const char*, OctetString*) override { return E_NOTIMPL; }
    HRESULT listApplObjects(SET_OF_String**) override { return E_NOTIMPL; }
    HRESULT getPrivateKey(const char*, const char*, TokenObjectPrivateKey**) override { return E_NOTIMPL; }
    HRESULT getCertificate(const char*, const char*, const char*, TokenObjectCertificate**) override
    {
        return E_NOTIMPL;
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo**) override { return E_NOTIMPL; }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return E_NOTIMPL; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo**) override { return E_NOTIMPL; }
    HRESULT getSlotByName(SecSlot**, const char*, unsigned char) override { return E_NOTIMPL; }
    HRESULT getSlots(SecSlot**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getTokenByName(SecToken**, const char*, unsigned char) override { return E_NOTIMPL; }
    HRESULT getSlotEvents(SecSlotEvents**) override { return E_NOTIMPL; }
    HRESULT isInTrustedCerts(const Certificate*) override { return E_NOTIMPL; }
    HRESULT getAllTrustedCerts(SET_OF_Certificate**) override { return E_NOTIMPL; }
    HRESULT getTrustedCertList(SET_OF_Certificate**) override { return E_NOTIMPL; }
    HRESULT addTrustedCertListItem(const Certificate*) override { return E_NOTIMPL; }
    HRESULT deleteTrustedCertListItem(const DName*, unsigned long) override { return E_NOTIMPL; }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo**) override { return E_NOTIMPL; }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return E_NOTIMPL; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override { return E_NOTIMPL; }
    HRESULT getPasswordList(SET_OF_PIN_Info**) override { return E_NOTIMPL; }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT releaseTokenCache(const char*) override { return E_NOTIMPL; }
    HRESULT getPseFileName(const char**) override { return E_NOTIMPL; }
    HRESULT cred_list(SET_OF_String**) override { return E_NOTIMPL; }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override { return E_NOTIMPL; }
    HRESULT cred_initCredUpdate() override { return E_NOTIMPL; }
    HRESULT loginBySystemParameters(const char*) override { return E_NOTIMPL; }
    HRESULT loginWithPassword(const char*, const unsigned char*, unsigned long) override { return E_NOTIMPL; }
    HRESULT cred_delete(const char*) override { return E_NOTIMPL; }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return E_NOTIMPL; }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT cred_finalCredUpdate() override { return E_NOTIMPL; }
    HRESULT control(SECAttribute*, SECAttribute*) override { return E_NOTIMPL; }

protected:
    ~UnansweredPSE() override = default;

private:
    std::atomic<long> m_refs {1};
};

}  // namespace kestrin::qevtest
