// The view-model interfaces that the application, the web adapter and the
// broker read: a model's revision and the refresh callbacks that tell a viewer
// it changed, items with their row texts, containers of items, verb lists, and
// the certificate, own-certificate and token rows.
#pragma once

#include <cstdint>

#include "qev_records.h"
#include "zelk_gui.h"
#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IGUIModel, 0x9AFAEE9C, 0x9CED, 0x46BD, 0x8F, 0xE8, 0x21, 0x00, 0x54, 0x01, 0x28, 0xD7);
ZELK_DEFINE_GUID(IID_IGUIModelItem, 0xF8A53938, 0xFD52, 0x447C, 0x8E, 0x84, 0x1D, 0x9B, 0x8E, 0xAC, 0x0F, 0x33);
ZELK_DEFINE_GUID(IID_IGUIModelContainer, 0x09D0B295, 0xDFC1, 0x42D5, 0xBF, 0x07, 0x6F, 0x4C, 0x5B, 0xCD, 0xDB, 0xE3);
ZELK_DEFINE_GUID(IID_IGUIVerbs, 0x891027C4, 0x7A33, 0x48DE, 0x90, 0x20, 0xDA, 0x44, 0xEA, 0xCB, 0x20, 0xB3);
ZELK_DEFINE_GUID(IID_IGUIModelSelectedApps, 0xA6B2A0DE, 0xE7BB, 0x47CE, 0xB4, 0x13, 0x3E, 0x1E, 0x66, 0x5B, 0xBE, 0x58);
ZELK_DEFINE_GUID(IID_CGUIVerb, 0x10332427, 0x6422, 0x43A3, 0xA4, 0x54, 0x1C, 0xDF, 0xD9, 0x2A, 0x4D, 0xD2);
ZELK_DEFINE_GUID(IID_IGUIModelCert, 0x3DD2F50D, 0xE31C, 0x49B7, 0x8D, 0x2D, 0xF5, 0x6E, 0x58, 0x29, 0x1E, 0x51);
ZELK_DEFINE_GUID(IID_IGUIModelOwnCert, 0x8EA8BD38, 0x4E76, 0x4BB9, 0xAB, 0x2E, 0x38, 0x54, 0x39, 0x63, 0x7F, 0x02);
ZELK_DEFINE_GUID(IID_IGUIModelCerts, 0x196C5E56, 0x0282, 0x4846, 0x9E, 0x43, 0xBA, 0x75, 0x5B, 0xF2, 0x46, 0x4C);
ZELK_DEFINE_GUID(IID_IGUIModelOwnCerts, 0x58327F22, 0xE5CC, 0x4529, 0xA7, 0xAF, 0x7F, 0xCF, 0xB4, 0x62, 0x4B, 0x96);
ZELK_DEFINE_GUID(IID_IGUIModelToken, 0xA89F775C, 0x37BE, 0x4B34, 0x8C, 0x2C, 0x03, 0xD2, 0x58, 0x7D, 0xA6, 0xDD);
ZELK_DEFINE_GUID(IID_IGUIModelCfgPolicy, 0xD3BD6324, 0x0D4E, 0x4DB6, 0x94, 0x1F, 0xDA, 0xFB, 0x48, 0x31, 0xD1, 0xD9);
ZELK_DEFINE_GUID(IID_IGUIModelLocalServer, 0x16193ED9, 0x63DC, 0x4133, 0x86, 0x20, 0xC6, 0xDC, 0x5A, 0xC2, 0x72, 0x5E);
ZELK_DEFINE_GUID(IID_ISelectionUI, 0x5C0E7A31, 0x92D4, 0x4B6E, 0xA1, 0x8F, 0x3D, 0x27, 0xE6, 0x4B, 0x90, 0x1C);

namespace ZELK::PSESVC {

// The picture of a list row: the upper bits name the kind of row, the lowest
// bit chooses the active picture.
enum IGUIItem_Icon : uint32_t {
    ICON_NONE = 0,
    ICON_ENCRYPTIONONLY = 256,
    ICON_ENCRYPTIONONLY_ACTIVE = 257,
    ICON_KERBEROS = 512,
    ICON_KERBEROS_ACTIVE = 513,
    ICON_CERT = 768,
    ICON_CERT_ACTIVE = 769,
    ICON_PROFILE = 1024,
    ICON_PROFILE_ACTIVE = 1025,
    ICON_LOCALSERVER = 1040,
    ICON_LOCALSERVER_ACTIVE = 1041,
    ICON_WEBADAPTER = 1280,
    ICON_WEBADAPTER_ACTIVE = 1281,
};

// Flags of a verb's state (IGUIVerb::SetState, GetState).
enum IGUIVerb_State : uint32_t {
    IGUIVerb_State_Default = 0x01,   // run on a double click and on Return
    IGUIVerb_State_Enabled = 0x02,   // available, not the default
    IGUIVerb_State_Disabled = 0x04,  // greyed out
    IGUIVerb_State_Checked = 0x08,   // the item's credential is the configured one
    IGUIVerb_State_Hidden = 0x10,    // left out of the menu
};

// The kind of a token row; -1 until the token manager sets it.
enum IGUIModelToken_Type : int32_t {
    TOKEN_TYPE_UNSET = -1,
    TOKEN_TYPE_KEYCHAIN = 1,
    TOKEN_TYPE_SMARTCARD = 2,
    TOKEN_TYPE_PROFILE = 3,
    TOKEN_TYPE_WEBADAPTER = 6,
    TOKEN_TYPE_LOCALSERVER = 7,
};

// A token row's state as its token reports it; the row only stores it.
enum IGUIModelToken_State : int32_t {
    TOKEN_STATE_UNSET = -1,
};

// A viewer's callback; not reference-counted: whoever registers it
// unregisters it before it goes.
class IGUIRefreshCB {
public:
    virtual HRESULT RefreshCB(unsigned long key) = 0;

protected:
    ~IGUIRefreshCB() = default;
};

class IGUIModel : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUIModel; }

    virtual int64_t GetRevision() = 0;
    // 1 when the pair is registered already.
    virtual HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key) = 0;
    // 1 when the pair is not registered.
    virtual HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key) = 0;
};

// One row.
class IGUIModelItem : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelItem; }

    // Either pointer may be NULL; the text is a new string of the crypto
    // library's allocator.
    virtual HRESULT GetItemInfo(IGUIItem_Icon* icon, char** text) = 0;
    // The sort key, owned by the item.
    virtual const char* ItemGetKey() = 0;
    // Negative, 0 or positive by the sort keys; 1 for NULL.
    virtual int ItemCompare(IGUIModelItem* other) = 0;
};

// A list of models.
class IGUIModelContainer : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelContainer; }

    virtual uint64_t GetElementCount() = 0;
    // 0x80040003 for a NULL output, 0x80000003 for an index out of range.
    virtual HRESULT GetElement(unsigned long index, const GUID& iid, void** out) = 0;
    // 1 when an element's IUnknown is exactly `element`, else 0.
    virtual int Contains(IUnknown* element) = 0;
};

// The verbs of an item; every verb held with one reference.
class IGUIVerbs : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUIVerbs; }

    virtual uint64_t GetVerbCount() = 0;
    // A new reference; 0x80004005 for an index out of range.
    virtual HRESULT GetVerb(unsigned long index, IGUIVerb** out) = 0;
    virtual HRESULT SetVerbs(unsigned long count, IGUIVerb** verbs) = 0;
    virtual HRESULT AddVerbs(unsigned long count, IGUIVerb** verbs) = 0;
};

// The configured application of an item's credential: "/" at index 0 while
// it is the one configured for the root path, else NULL.
class IGUIModelSelectedApps : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUIModelSelectedApps; }

    virtual const char* GetSelectedApp(unsigned long index) = 0;
};

// A certificate row.
class IGUIModelCert : public IGUIModelItem {
public:
    static const GUID& GetIID() { return IID_IGUIModelCert; }

    virtual int Compare(IGUIModelCert* other) = 0;
    // Owned by the item; NULL without a certificate.
    virtual const Certificate* GetCert() = 0;
    // 40 upper-case hexadecimal digits of the SHA-1 of the DER, owned by the item.
    virtual const char* GetFingerprint() = 0;
};

// A personal credential of a token (certificate with private key).
class IGUIModelOwnCert : public IGUIModelCert {
public:
    static const GUID& GetIID() { return IID_IGUIModelOwnCert; }

    virtual const PersonalCertificateInfo* GetPCI() = 0;
    // The token name under which the credential was registered.
    virtual const char* GetSlot() = 0;
    // The credential's token URI, else the slot.
    virtual const char* GetURI() = 0;
};

class IGUIModelCerts : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelCerts; }
};

class IGUIModelOwnCerts : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelOwnCerts; }
};

// The row of one credential holder. Texts are owned by the item.
class IGUIModelToken : public IGUIModelItem {
public:
    static const GUID& GetIID() { return IID_IGUIModelToken; }

    virtual const char* GetTokenName() = 0;
    virtual const char* GetProfileName() = 0;
    // The token's own certificate number `index` with a new reference; 1 when
    // it has fewer.
    virtual HRESULT GetOwnCert(unsigned long index, IGUIModelOwnCert** out) = 0;
    virtual const char* GetTokenInfo() = 0;
    virtual uint64_t GetGVXNameCount() = 0;
    // With its "p:" prefix; NULL for an index out of range.
    virtual const char* GetGVXName(unsigned long index) = 0;
    virtual const char* GetPolicyGroup() = 0;
    virtual IGUIModelToken_Type GetTokenType() = 0;
    virtual IGUIModelToken_State GetTokenState() = 0;
    // New strings of the crypto library's allocator; `out` untouched without
    // a profile policy.
    virtual HRESULT GetKVSHost(char** out) = 0;
    virtual HRESULT GetKVSProfileGroup(char** out) = 0;
};

// The values of the policy-server settings model.
enum IGUIModelCfgPolicy_Param : unsigned int {
    CFGPOLICY_STATUS = 0,              // the last download's result code and text
    CFGPOLICY_HOST = 1,                // "PolicyHost"
    CFGPOLICY_GROUPS = 2,              // GetString downloads the group list
    CFGPOLICY_GROUP_NAMES = 3,         // the held group names as a multi-string
    CFGPOLICY_GROUP = 4,               // the chosen group ("PolicyName")
    CFGPOLICY_GROUP_DISPLAY_NAME = 5,  // never set
    CFGPOLICY_TTL = 6,                 // "PolicyTTL", minutes
    CFGPOLICY_USE_SYSTEM_PROXY = 7,    // "useWindowsHttpProxy"
    CFGPOLICY_PROXY_URL = 8,           // "HTTPProxyURL"
};

// The steps a group policy's time to live is read as, in minutes.
enum IGUIModelCfgPolicy_TTL : unsigned int {
    CFGPOLICY_TTL_NEVER = 0,
    CFGPOLICY_TTL_MINUTE = 1,
    CFGPOLICY_TTL_5_MINUTES = 5,
    CFGPOLICY_TTL_10_MINUTES = 10,
    CFGPOLICY_TTL_HOUR = 60,
    CFGPOLICY_TTL_DAY = 1440,
};

// The local HTTPS server's row ("zelk.localservers" of module "zelk" holds
// it): its certificate and port while it runs, and the last message.
class IGUIModelLocalServer : public IGUIModelItem {
public:
    static const GUID& GetIID() { return IID_IGUIModelLocalServer; }

    // The certificate served, NULL while stopped; owned by the row.
    virtual const Certificate* GetCert() = 0;
    // The TCP port on 127.0.0.1, 0 while stopped.
    virtual unsigned short GetPort() = 0;
    // The last message, NULL when none; owned by the row.
    virtual const wchar_t* GetMessage() = 0;
    virtual bool IsWarning() = 0;
};

// The policy-server settings ("zelk.cfg.policy" of module "zelk"): the
// preferences window edits them, the policy-group monitor reports its
// downloads into the status.
class IGUIModelCfgPolicy : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelCfgPolicy; }

    // Writes the edited values to "groups/user"; 0.
    virtual HRESULT Apply() = 0;
    // Drops every unapplied edit; 0.
    virtual HRESULT Cancel() = 0;
    // Asks the policy-group monitor to download now; 0.
    virtual HRESULT Update() = 0;
    // Empties host, group and policy path; 0.
    virtual HRESULT Clear() = 0;
    // False for a value without a policy name or one the configuration fixes.
    virtual bool IsChangeable(IGUIModelCfgPolicy_Param param) = 0;
    // The model's own text (NULL when unset), valid while the model lives.
    virtual const char* GetString(IGUIModelCfgPolicy_Param param) = 0;
    virtual unsigned int GetDWORD(IGUIModelCfgPolicy_Param param) = 0;
    virtual bool GetBool(IGUIModelCfgPolicy_Param param) = 0;
    // 0x80070005 for a locked or read-only value, 0x80000003 for a value of
    // another type; CFGPOLICY_STATUS records a download's result (0 success).
    virtual HRESULT SetString(IGUIModelCfgPolicy_Param param, const char* value) = 0;
    virtual HRESULT SetDWORD(IGUIModelCfgPolicy_Param param, unsigned int value) = 0;
    virtual HRESULT SetBool(IGUIModelCfgPolicy_Param param, bool value) = 0;
};

// The selection dialog ("zelk.dlgselection" of "zelkgui"): the user picks
// one element of a container, or of the wider alternative container.
class ISelectionUI : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ISelectionUI; }

    // 0 when confirmed, with the chosen element (one reference, may be
    // NULL); 0xA0100019 when cancelled.
    virtual HRESULT GuiSelect(const wchar_t* caption, const wchar_t* text, IGUIModelContainer* container,
                              IUnknown** selected) = 0;
    virtual HRESULT GuiSelectEx(const wchar_t* caption, const wchar_t* text, const wchar_t* noElementsText,
                                IGUIModelContainer* primary, IGUIModelContainer* alternative, IUnknown** selected) = 0;
};

}  // namespace ZELK::PSESVC
