// The embedding interface's container of keys and certificates: a key
// converter of the crypto library, and an in-memory file with the PSE image
// built from it, opened as a memory PSE.
#pragma once

#include "kvc_buffer.h"
#include "qev_keyconvert.h"
#include "qev_pse.h"
#include "zelk_holders.h"
#include "zelk_kestrin.h"
#include "zelk_kvc.h"
#include "zelk_object.h"
#include "zelk_text.h"

namespace kestrin::enrol {

// Hands out the container itself to code of this module.
ZELK_DEFINE_GUID(IID_KVC_PSE, 0x3A931E62, 0xE0B9, 0x4109, 0x9D, 0xC9, 0x22, 0x19, 0x46, 0x23, 0x62, 0xE7);

class KVC_PSE : public KVC_IPSE, public CFactoryImpl<KVC_PSE>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(KVC_PSE)
    ZELK_INTMAP_ENTRY(KVC_IPSE)
    ZELK_INTMAP_ENTRY_CLASS(IID_KVC_PSE)
    ZELK_END_INTMAP()

    // A new, empty container; the caller holds one reference.
    static HRESULT New(KVC_PSE** out);
    // The container behind an interface of this module, with one reference;
    // NULL for anything else.
    static KVC_PSE* From(KVC_IPSE* object);

    KVC_PSE() = default;
    virtual ~KVC_PSE();

    HRESULT loadFromPEM(const unsigned char* data, unsigned long length) override;
    HRESULT loadFromPKCS12(const unsigned char* data, unsigned long length, const char* password) override;
    HRESULT loadFromPSE(const unsigned char* data, unsigned long length, const char* password) override;
    HRESULT getAsPEM(unsigned char* buffer, unsigned long* length) override;
    HRESULT getAsPKCS12(const char* password, unsigned char* buffer, unsigned long* length) override;
    HRESULT getAsPSE(const char* password, unsigned char* buffer, unsigned long* length) override;
    HRESULT clean() override;
    HRESULT addKeys(KVC_IPSE* other) override;
    HRESULT getOwnCert(unsigned char* buffer, unsigned long* length) override;
    HRESULT getChainCert(unsigned long index, unsigned char* buffer, unsigned long* length) override;
    HRESULT importTrustedCAs(const unsigned char* data, unsigned long length) override;
    HRESULT addTrustedCAs(KVC_IPSE* other) override;
    HRESULT exportTrustedCAs(unsigned char* buffer, unsigned long* length) override;

    // Takes over the other's format flags (NULL or itself: nothing).
    HRESULT useSameSettings(KVC_PSE* other);
    // The client's enrolled key, certificate, chain and root;
    // E_QM_CERTIFICATE_BAD when the chain misses an issuer.
    HRESULT loadFromKestrin(IKestrin* client);
    // E_QM_CERTIFICATE_BAD with "The following certificate is missing :
    // \n<name>" (library allocator) when the chain misses an issuer, else the
    // converter's answer.
    HRESULT getError(char** text);
    HRESULT exportTrustedCAs(OctetString** out);
    HRESULT exportTrustedCAs(SET_OF_Certificate** out);

    bool oldPSEFormat() const { return m_oldPSEFormat; }
    bool pseAttribute888() const { return m_pseAttribute888; }

private:
    void Prepare();
    HRESULT OpenMemoryPse(const char* password);
    void CloseMemoryPse();
    HRESULT BuildPse(const char* password);
    // The salted digest of a password, to tell whether the image was built
    // under the password asked for without keeping the password.
    HRESULT PasswordDigest(const char* password, unsigned char digest[32]);

    AuxRefPtr<KeyConverter> m_converter;
    StringT<char> m_fileName;
    AuxRefPtr<ASC> m_asc;
    AuxRefPtr<PSE> m_pse;
    bool m_oldPSEFormat = false;
    bool m_pseAttribute888 = true;
    bool m_modified = false;
    bool m_built = false;
    unsigned char m_salt[16] = {};
    bool m_salted = false;
    unsigned char m_builtDigest[32] = {};
};

}  // namespace kestrin::enrol
