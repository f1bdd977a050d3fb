// The user's Kerberos identity: the principal's name from the default
// credential cache, service tickets and SPNEGO tokens from the crypto
// library's Kerberos table, and the single-sign-on mode of "Common/Kerberos".
#pragma once

#include <cstdint>
#include <mutex>

#include "qev_token.h"
#include "zelk_gui.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {

class CKerberos {
public:
    // Reads "SSOMode": above 5 counts as 2; 5 counts as 0 with the
    // interactive fallback.
    CKerberos();
    virtual ~CKerberos() = default;
    CKerberos(const CKerberos&) = delete;
    CKerberos& operator=(const CKerberos&) = delete;

    // Reads both names anew; 0.
    virtual HRESULT Refresh();
    virtual HRESULT Login(ICredUI* dialog);
    // A login with user and password is not offered: 0x80000001.
    virtual HRESULT Login(ICredUI* dialog, const wchar_t* user, const wchar_t* password);
    // Reads the names anew; 0.
    virtual HRESULT Logout(ICredUI* dialog);
    virtual HRESULT Reauth(ICredUI* dialog);
    // The ticket blob of a target (see KerbUtil_convertTicket2OctetString).
    virtual HRESULT CreateTicket(const char* target, OctetString** blob);
    // 0 with ticket and session key (each output optional); 0xA2600202 when
    // the user has no valid credentials, 0x80004005 for any other failure,
    // 0x80000001 without the Kerberos table.
    virtual HRESULT CreateTicket(const char* target, OctetString** ticket, OctetString** sessionKey,
                                 KerberosAlgorithmIdentifier* algorithm);
    virtual HRESULT CreateSPNEGOToken(ICredUI* dialog, const char* target, OctetString** token);
    virtual HRESULT Impersonate_Begin();
    virtual HRESULT Impersonate_End(bool restore);
    virtual bool IsDomainUser();
    // New UTF-8 copies of the requested names; 0.
    virtual HRESULT GetNames(char** displayName, char** userName);
    // Copies of the requested names, read first when both are empty; 0.
    virtual HRESULT GetNames(wchar_t** displayName, wchar_t** userName);
    // "FIRST@REALM" of the default credential cache's principal, upper case;
    // `out` untouched when there is none. Always 0.
    virtual HRESULT GetUserName(wchar_t** out);
    // Supplies no name; 0.
    virtual HRESULT GetDisplayName(wchar_t** out);

protected:
    // Copies of the stored names, taken under the lock.
    void CopyNames(StringT<wchar_t>& displayName, StringT<wchar_t>& userName);

    std::mutex m_namesLock;
    StringT<wchar_t> m_displayName;
    StringT<wchar_t> m_userName;
    uint32_t m_ssoMode = 0;
    bool m_interactiveFallback = false;
};

}  // namespace ZELK::PSESVC
