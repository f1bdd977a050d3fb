// The policy-server settings "zelk.cfg.policy": the values of "groups/user"
// while the preferences window edits them, the group list that the policy
// server offers, and the status that both the list download and the
// policy-group monitor's downloads report into.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "gui_model_base.h"
#include "qev_url.h"
#include "retained_text.h"
#include "zelk_json.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"

namespace ZELK::PSESVC {

// The path below the server that lists the policy groups.
inline constexpr const char* CFGPOLICY_GROUPS_PATH = "/KestrinServer/kvc/getGroups";

class CModelCfgPolicy : public CGUIModel<IGUIModelCfgPolicy>,
                        public CSingletonFactoryImpl<CModelCfgPolicy>,
                        public ISignal,
                        public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelCfgPolicy)
    ZELK_INTMAP_ENTRY(IGUIModelCfgPolicy)
    ZELK_END_INTMAP()

    CModelCfgPolicy() = default;
    ~CModelCfgPolicy() override;

    // Opens "groups/user" and reads it.
    HRESULT Initialize() override;
    // Stops the change notices, then drops the singleton.
    HRESULT Finalize() override;

    HRESULT Apply() override;
    HRESULT Cancel() override;
    HRESULT Update() override;
    HRESULT Clear() override;
    bool IsChangeable(IGUIModelCfgPolicy_Param param) override;
    const char* GetString(IGUIModelCfgPolicy_Param param) override;
    unsigned int GetDWORD(IGUIModelCfgPolicy_Param param) override;
    bool GetBool(IGUIModelCfgPolicy_Param param) override;
    HRESULT SetString(IGUIModelCfgPolicy_Param param, const char* value) override;
    HRESULT SetDWORD(IGUIModelCfgPolicy_Param param, unsigned int value) override;
    HRESULT SetBool(IGUIModelCfgPolicy_Param param, bool value) override;

    // Reads the configuration again, dropping unapplied edits; a changed
    // host, group, path or time to live invalidates the group list and
    // advances the revision.
    virtual HRESULT ReadConfig();
    virtual const char* GetPolicyHost();
    // Downloads the group list unless the held one is valid: the names as a
    // multi-string, NULL when there are none or the download failed.
    virtual const char* GetPolicyGroups();
    virtual const char* GetPolicyGroup();
    virtual const char* GetPolicyGroupName();
    virtual IGUIModelCfgPolicy_TTL GetPolicyTTL();
    virtual bool GetHTTPProxyUSEIE();
    virtual const char* GetHTTPProxyURL();
    // Another host forgets the chosen group with its path; every call
    // invalidates the group list.
    virtual HRESULT SetPolicyHost(const char* host);
    // The path becomes the held reply's string member of that name, or none.
    virtual HRESULT SetPolicyGroup(const char* name);
    virtual HRESULT SetPolicyTTL(IGUIModelCfgPolicy_TTL ttl);
    virtual HRESULT SetHTTPProxyUSEIE(bool on);
    virtual HRESULT SetHTTPProxyURL(const char* url);
    // Sets the status text that belongs to a transport result.
    virtual HRESULT SetStateByURLError(int code);
    // A connection to `url` with the settings of "groups/user" over the
    // service's shared security context; 0x80000003 when none can be made.
    virtual HRESULT create_urlRef(const char* url, url_context** context, url_connection** connection);

    // A change of "groups/user" (the policy event thread).
    void Signal() override;

    // The key of the status text that belongs to a transport result; NULL
    // for success.
    static const char* StatusTextKey(HRESULT code);
    // The step a time to live in minutes is read as.
    static IGUIModelCfgPolicy_TTL RoundTTL(unsigned int minutes);

private:
    static const char* PolicyName(IGUIModelCfgPolicy_Param param);
    // Stores `text` when it differs; true when it did.
    static bool Change(RetainedText& field, const char* text);
    static const char* Value(const RetainedText& field) { return field.IsEmpty() ? nullptr : field.Get(); }
    const char* GroupNames() const;

    // Guards every field below; no request or policy call runs under it.
    CriticalSection m_cs;
    ZELK_PTR(ZELK_IPolicy) m_policy;
    int32_t m_status = 0;
    RetainedText m_statusText;
    ZELK_PTR(IJsonObject) m_reply;
    RetainedText m_host;
    RetainedText m_group;
    RetainedText m_groupName;
    RetainedText m_path;
    RetainedText m_proxyUrl;
    std::atomic<bool> m_useSystemProxy {false};
    // NUL-separated names with an empty one last; replaced lists are kept
    // until the model goes, as GetString handed them out.
    char* m_groupNames = nullptr;
    std::vector<char*> m_retiredNames;
    bool m_groupListValid = false;
    unsigned int m_ttl = 0;
    std::atomic<bool> m_applying {false};
};

}  // namespace ZELK::PSESVC
