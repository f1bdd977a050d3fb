// The Kerberos token "zelk.kerberos": the process's one Kerberos identity
// with its re-authentication verb and the Kerberos row of the credential
// list. Tickets fall back to an interactive login under "SSOMode" 5.
#pragma once

#include "kerberos.h"
#include "qevcrypto.h"
#include "verb_host.h"
#include "zelk_object.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CToken_Kerberos, 0x7EDC4183, 0x8BCB, 0x42E4, 0xA3, 0xC8, 0x31, 0x24, 0xBD, 0xFD, 0xC5, 0xF9);

namespace ZELK::PSESVC {

class CToken_Kerberos : public IUnknown,
                        public CVerbHost,
                        public CKerberos,
                        public CSingletonFactoryImpl<CToken_Kerberos>,
                        public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CToken_Kerberos)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_Kerberos)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CToken_Kerberos; }

    // Reads the names and hands the verbs to the Kerberos row.
    CToken_Kerberos();
    ~CToken_Kerberos() override;

    HRESULT InitVerbs() override;
    // The member of "verb.reauth": the identity's re-authentication.
    HRESULT Reauth(ICredUI* dialog) override;
    // The names read anew and shown in the Kerberos row; 0x80004005 without
    // the row.
    HRESULT Refresh() override;
    // As the identity's request; without credentials under "SSOMode" 5 the
    // user is asked to log in, then the request runs once more. The blob form
    // comes through here, so one request asks the user once.
    using CKerberos::CreateTicket;
    HRESULT CreateTicket(const char* target, OctetString** ticket, OctetString** sessionKey,
                         KerberosAlgorithmIdentifier* algorithm) override;

    // The creator of "zelk.kerberos": 0x80000001 where the crypto library
    // offers no Kerberos, else the singleton queried for `iid`.
    static HRESULT New(const GUID& iid, void** out);
    // The singleton with one reference.
    static HRESULT New(CToken_Kerberos** out);
    static bool IsAvailable();
    // The ticket blob of "Kerberos-" + principal; 0x80000003 for any other name.
    static HRESULT readApplObject(const char* name, OctetString** blob);
    // Under "SSOMode" 2 or 4 the names are read again after a handshake.
    static HRESULT FinishedPrivateKeyOperation();
};

}  // namespace ZELK::PSESVC
