// The local-server profile (PSE type "hearthgate"): its identity survives a
// restart as a password-protected PKCS#12 value of "PSECache" (the password a
// generic password of the key store), is mirrored into an in-memory PSE that
// the TLS layer reaches by name, and carries the local server's port in its
// certificate.
#pragma once

#include "../webadapter/web_adapter_service.h"
#include "token_kv.h"

ZELK_DEFINE_GUID(IID_CToken_KVPersistent, 0xDB4F6D07, 0xE652, 0x4AB7, 0x8D, 0x17, 0x57, 0xB0, 0x6C, 0xCA, 0x3E, 0x89);
ZELK_DEFINE_GUID(IID_CToken_LocalServer, 0x8AAB374F, 0xF9E3, 0x44B5, 0xAA, 0x35, 0xF6, 0xAE, 0x2A, 0x85, 0xEC, 0xA8);

ZELK_AUX_TYPE_INDEX(SET_OF_Certificate, SEC_TYPE_SET_OF_Certificate);

namespace ZELK::PSESVC {

class CToken_KVPersistent : public CToken_KV {
public:
    ZELK_BEGIN_INTMAP(CToken_KVPersistent)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_KVPersistent)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_KV)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    CToken_KVPersistent();
    ~CToken_KVPersistent() override;

    IGUIModelToken_Type GetTokenType() override;
    HRESULT Init(SecToken* token, CModelToken* model, const char* readerName) override;
    int Logout(ICredUI* dialog) override;
    int LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user) override;
    HRESULT UpdateToken(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                        const Certificate* rootCert) override;
    using CToken_KV::UpdateToken;

    virtual HRESULT GetMemPSE(char** name);
    virtual HRESULT GetPersistanceKey(char** key);
    virtual HRESULT CreateMemPSE(const char* name, SecToken** token);
    virtual HRESULT UpdateMemPSE(SecToken* token);
    virtual HRESULT Serialize(const KeyInfo* key, const Certificate* cert, const SET_OF_Certificate* caCerts,
                              const Certificate* rootCert, OctetString** p12);
    virtual HRESULT DeSerialize(OctetString* p12);
    virtual HRESULT GetPSEFromRegistry();
    // Writes the value (NULL: an empty one) and wipes the caller's bytes.
    virtual HRESULT SetPSEToRegistry(OctetString* p12);
    virtual HRESULT LoginFromStore();
    // The key store's password of the stored value; a new one only when
    // there is none. A new text for the caller, who wipes it.
    virtual HRESULT GetPKCS12Password(char** password);
    virtual HRESULT DeleteStoredPKCS12Password();

    // The task "CToken_KVPersistent::LoginFromStore": behind the verb gate.
    int LoginFromStoreTask();

protected:
    // Opens the value; `noPassword` tells a password the key store could not
    // give from one that does not open the value.
    HRESULT Load(OctetString* p12, bool* noPassword);
    void ClearIdentity();

    StringT<char> m_memPSE;
    AuxPtr<KeyInfo> m_key;
    AuxRefPtr<Certificate> m_cert;
    AuxPtr<SET_OF_Certificate> m_caCerts;
    AuxRefPtr<Certificate> m_rootCert;
};

class CToken_LocalServer : public CToken_KVPersistent {
public:
    ZELK_BEGIN_INTMAP(CToken_LocalServer)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_LocalServer)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_KVPersistent)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_KV)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    IGUIModelToken_Type GetTokenType() override;
    // Also hands the token to the local-server row.
    HRESULT Init(SecToken* token, CModelToken* model, const char* readerName) override;
    HRESULT RegisterOwnCerts(bool disabled) override;
    int Logout(ICredUI* dialog) override;
    int LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user) override;
    HRESULT UpdateToken(SecToken* target, const KeyInfo* key, const Certificate* cert,
                        const SET_OF_Certificate* caCerts, const Certificate* rootCert, bool import) override;
    using CToken_KVPersistent::UpdateToken;
    bool IsValidCert(const Certificate* cert, unsigned long margin) override;

    // A new identity from the enrolment server even when a stored one holds.
    virtual HRESULT Update(ICredUI* dialog);
    // The port of the certificate's port extension: 1 to 65535.
    virtual HRESULT GetPort(int* port);
    // Starts the web adapter and tells the local-server row how it went.
    HRESULT StartLocalServer();

    // The token manager's creator of "hearthgate" profile tokens.
    static HRESULT New(const GUID& iid, void** out);
    // The port of a certificate's port extension.
    static HRESULT PortOf(Certificate* cert, int* port);
    static bool HasServerAuthentication(Certificate* cert);

protected:
    CWebAdapterService m_webAdapter;
    int m_port = 0;
};

}  // namespace ZELK::PSESVC
