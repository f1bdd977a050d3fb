// Token rows: one per credential holder (enrolment profile, key-store
// identity set, smart card, web-adapter profile, local server), with the
// names derived from its token name, its kind, the target names it serves,
// its profile's policy and the token's verbs; the container
// "zelk.tokensinfo" that the token manager fills.
#pragma once

#include <vector>

#include "gui_model_container.h"
#include "gui_verbs_apps.h"
#include "retained_text.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

ZELK_DEFINE_GUID(IID_IGUIModelTokens, 0xC6703FE5, 0x081A, 0x409B, 0x98, 0x9A, 0xA2, 0x7B, 0x92, 0x03, 0x04, 0x45);
ZELK_DEFINE_GUID(IID_CModelToken, 0x1FF7A869, 0x9AB0, 0x4F59, 0x98, 0x82, 0xBF, 0x6B, 0x45, 0x37, 0xBB, 0x20);
ZELK_DEFINE_GUID(IID_CModelTokens, 0xB38889A9, 0x5D34, 0x489B, 0x80, 0x6C, 0x77, 0x31, 0x81, 0x57, 0x2A, 0x92);

namespace ZELK::PSESVC {

class IGUIModelTokens : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelTokens; }
};

class CModelToken : public CGUIModelItem<IGUIModelToken>,
                    public CGUIModelVerbsWithApps,
                    public CGUIModelSelectedApps,
                    public CFactoryImpl<CModelToken>,
                    public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelToken)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelToken)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelToken)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelToken)
    ZELK_INTMAP_ENTRY(IGUIModelToken)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelSelectedApps, CGUIModelSelectedApps)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelToken; }

    CModelToken() = default;
    ~CModelToken() override;

    HRESULT RefreshItemInfo() override;

    const char* GetTokenName() override;
    const char* GetProfileName() override;
    HRESULT GetOwnCert(unsigned long index, IGUIModelOwnCert** out) override;
    const char* GetTokenInfo() override;
    uint64_t GetGVXNameCount() override;
    const char* GetGVXName(unsigned long index) override;
    const char* GetPolicyGroup() override;
    IGUIModelToken_Type GetTokenType() override;
    IGUIModelToken_State GetTokenState() override;
    HRESULT GetKVSHost(char** out) override;
    HRESULT GetKVSProfileGroup(char** out) override;

    // Stores the name and derives profile name and policy group from it;
    // nothing when the name is the same.
    virtual HRESULT SetTokenName(const char* name);
    virtual HRESULT SetTokenInfo(const char* text);
    // Target names are kept with the prefix "p:", each once.
    virtual HRESULT AddGVXName(const char* name);
    // NULL removes every name.
    virtual HRESULT DelGVXName(const char* name);
    virtual HRESULT SetTokenType(IGUIModelToken_Type type);
    virtual HRESULT SetTokenState(IGUIModelToken_State state);
    virtual HRESULT SetKVSPolicy(ZELK_IPolicy* policy);
    virtual HRESULT SetAutoLogoutTask(const char* name);
    // Runs the auto-logout task now, when the scheduler exists.
    virtual HRESULT CallAutoLogoutTask();
    // The PCI of the first own certificate; NULL without one.
    const PersonalCertificateInfo* GetPCI() override;
    const char* GetTokenURI() override;

    // The crypto library's URL table ("SEC_URL_1"), bound at the module's start.
    static inline API_COMMON* s_urlTable = nullptr;

private:
    typedef CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> PolicyPtr;
    PolicyPtr Policy();

    RetainedText m_tokenName;
    RetainedText m_profileName;
    PolicyPtr m_policy;
    std::vector<char*> m_gvxNames;
    std::vector<char*> m_retiredNames;
    RetainedText m_policyGroup;
    RetainedText m_tokenInfo;
    RetainedText m_autoLogoutTask;
    IGUIModelToken_Type m_type = TOKEN_TYPE_UNSET;
    IGUIModelToken_State m_state = TOKEN_STATE_UNSET;
    // Own certificates whose PCI GetPCI handed out, kept as long as the row.
    std::vector<IGUIModelOwnCert*> m_handedOut;
};

class CModelTokens : public CGUIModelContainer<IGUIModelTokens, CModelToken>,
                     public CSingletonFactoryImpl<CModelTokens>,
                     public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelTokens)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelTokens)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelTokens)
    ZELK_INTMAP_ENTRY(IGUIModelTokens)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelTokens)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelTokens; }

    // The row of that name (with case), else a new row not yet listed.
    virtual HRESULT CreateToken(const char* name, CModelToken** out);
    // Moves `token` to the end of the list (appends it when new); `name` is
    // not used.
    virtual HRESULT AddToken(const char* name, CModelToken* token);
    // Removes every row of that name.
    virtual HRESULT DelToken(const char* name);
    // 1 when no row has that name.
    virtual HRESULT GetToken(const char* name, CModelToken** out);
    // Runs the auto-logout task of every row of that name.
    virtual HRESULT StartAutoLogoutTask(const char* name);

    // 1 for a NULL token or one without a name; else CreateToken of the singleton.
    static HRESULT NewTokenInfo(const char* name, CModelToken** out);
    static HRESULT RegisterToken(CModelToken* token);
};

}  // namespace ZELK::PSESVC
