#include "mem_pse.h"

#include <atomic>
#include <new>

#include "lib_lists.h"
#include "lib_object.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "sec_attr.h"
#include "types_values.h"

namespace kestrin::qevcrypto {
namespace {

constexpr char kMemoryPseType[] = "MEMPSE";

HRESULT CertificateOf(X509* x509, Certificate** out)
{
    if (X509_up_ref(x509) != 1)
        return E_OUTOFMEMORY;
    return values::NewCertificate(ossl::X509Ptr(x509), out);
}

class MemoryPse final : public LibObject<PSE> {
public:
    explicit MemoryPse(std::shared_ptr<const https::ClientIdentity> identity) : m_identity(std::move(identity)) {}

    const char* getType() override { return kMemoryPseType; }
    int cmp(const PSE* other) override { return other == this ? 0 : 1; }
    HRESULT print(char** out, const char*, PRINT_CTX*) override { return Unsupported(out); }

    // The identity's certificate with the certificates that came with it.
    HRESULT getOwnCertificate(const History*, SECAttribute*, SET_OF_PersonalCertificateInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (!m_identity)
            return S_OK;
        const SEC_TYPE_TABLE* infoType = TypeTable(SEC_TYPE_PersonalCertificateInfo);
        void* made = nullptr;
        if (infoType == nullptr || FAILED(infoType->new_node(&made)))
            return E_OUTOFMEMORY;
        auto* info = static_cast<PersonalCertificateInfo*>(made);
        HRESULT hr = CertificateOf(m_identity->certificate.get(), &info->certificate);
        SEQUENCE_OF_Certificate** cursor = &info->path;
        for (size_t i = 0; SUCCEEDED(hr) && i < m_identity->chain.size(); ++i) {
            Certificate* c = nullptr;
            hr = CertificateOf(m_identity->chain[i].get(), &c);
            if (SUCCEEDED(hr))
                hr = AppendNode(SEC_TYPE_SEQUENCE_OF_Certificate, cursor, c);
            if (FAILED(hr) && c != nullptr)
                c->Release();
        }
        SET_OF_PersonalCertificateInfo** at = out;
        if (SUCCEEDED(hr))
            hr = AppendNode(SEC_TYPE_SET_OF_PersonalCertificateInfo, at, info);
        if (FAILED(hr))
            infoType->free(info);
        return hr;
    }

    // Attribute 888 in `in` sets the flag (its value as a number, 0 off);
    // in `out` it receives the flag.
    HRESULT control(SECAttribute* in, SECAttribute* out) override
    {
        bool served = false;
        for (SECAttribute* a = in; a != nullptr; a = a->next) {
            if (a->id != SEC_ATTR_PSE_FLAG)
                continue;
            m_flag = a->value != nullptr;
            a->answered = 1;
            served = true;
        }
        for (SECAttribute* a = out; a != nullptr; a = a->next) {
            if (a->id != SEC_ATTR_PSE_FLAG)
                continue;
            a->value = reinterpret_cast<void*>(static_cast<uintptr_t>(m_flag.load() ? 1 : 0));
            a->answered = 1;
            served = true;
        }
        return served ? S_OK : E_PSE_NOTSUPPORTED;
    }

    HRESULT encryptDigest(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                          unsigned long*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT decryptKey(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                       unsigned long*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT searchCertificate(SECAttribute*, SET_OF_Certificate** out) override { return Unsupported(out); }
    HRESULT readApplObject(const char*, OctetString** out) override { return Unsupported(out); }
    HRESULT writeApplObject(const char*, OctetString*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT listApplObjects(SET_OF_String** out) override { return Unsupported(out); }
    HRESULT getPrivateKey(const char*, const char*, TokenObjectPrivateKey** out) override { return Unsupported(out); }
    HRESULT getCertificate(const char*, const char*, const char*, TokenObjectCertificate** out) override
    {
        return Unsupported(out);
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) override { return Unsupported(out); }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) override { return Unsupported(out); }
    HRESULT getSlotByName(SecSlot** out, const char*, unsigned char) override { return Unsupported(out); }
    HRESULT getSlots(SecSlot**, unsigned long*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getTokenByName(SecToken** out, const char*, unsigned char) override { return Unsupported(out); }
    HRESULT getSlotEvents(SecSlotEvents** out) override { return Unsupported(out); }
    HRESULT isInTrustedCerts(const Certificate*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override { return Unsupported(out); }
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override { return Unsupported(out); }
    HRESULT addTrustedCertListItem(const Certificate*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT deleteTrustedCertListItem(const DName*, unsigned long) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override { return Unsupported(out); }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT getPasswordList(SET_OF_PIN_Info** out) override { return Unsupported(out); }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT releaseTokenCache(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getPseFileName(const char** name) override
    {
        if (name != nullptr)
            *name = nullptr;
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_list(SET_OF_String** out) override { return Unsupported(out); }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_initCredUpdate() override { return E_PSE_NOTSUPPORTED; }
    HRESULT loginBySystemParameters(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT loginWithPassword(const char*, const unsigned char*, unsigned long) override { return E_PSE_NOTSUPPORTED; }
    HRESULT cred_delete(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_finalCredUpdate() override { return E_PSE_NOTSUPPORTED; }

private:
    const GUID& Iid() const override { return IID_PSE; }

    template <class T>
    static HRESULT Unsupported(T** out)
    {
        if (out != nullptr)
            *out = nullptr;
        return E_PSE_NOTSUPPORTED;
    }

    const std::shared_ptr<const https::ClientIdentity> m_identity;
    std::atomic<bool> m_flag {true};
};

}  // namespace

HRESULT CreateMemoryPse(std::shared_ptr<const https::ClientIdentity> identity, PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new (std::nothrow) MemoryPse(std::move(identity));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace kestrin::qevcrypto
