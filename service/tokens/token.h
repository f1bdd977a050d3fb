// A token of the token manager as the service PSE calls it: its own
// certificate infos, its verbs by reason and its profile in a dialog.
#pragma once

#include "qev_records.h"
#include "zelk_gui.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CToken, 0x5F83C2A6, 0x1E4D, 0x4B97, 0xA3, 0x0C, 0x62, 0xD9, 0x15, 0x7B, 0xE8, 0x40);

namespace ZELK::PSESVC {

// Why a verb is run: 0 a login when the token needs one, 3 a new
// authentication of the user.
enum IGUIVerb_Reason : int {
    IGUIVerb_Reason_Login = 0,
    IGUIVerb_Reason_Reauth = 3,
};

class CToken : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CToken; }

    // Appends the token's personal certificate infos at the cursor.
    virtual HRESULT GetPCI(SET_OF_PersonalCertificateInfo** cursor) = 0;
    // The verb of a reason; *out NULL and 0 when there is none.
    virtual HRESULT GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out) = 0;
    // Runs that verb through the token's verb host; 1 without a verb.
    virtual HRESULT DoVerbByReason(IGUIVerb_Reason reason) = 0;
    virtual HRESULT UiUpdateProfile(ICredUI* dialog) = 0;
    // The token's verbs without references (valid while the token lives);
    // 0x80000003 for a NULL output.
    virtual HRESULT GetVerbs(unsigned long* count, IGUIVerb*** verbs) = 0;
    // True while the token is logged out.
    virtual bool NeedLogin() = 0;
    // True when its first credential has a certificate.
    virtual bool HaveCerts() = 0;

protected:
    ~CToken() = default;
};

}  // namespace ZELK::PSESVC
