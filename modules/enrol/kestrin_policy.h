// The client-policy downloader "zelk.kvlogin.policy": fetches a policy group's
// client policy document over HTTPS, checks it and writes the values it
// carries into the user policy store below the group.
#pragma once

#include "qev_values.h"
#include "zelk_holders.h"
#include "zelk_kestrin_policy.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_resloader.h"
#include "zelk_sync.h"
#include "zelk_text.h"

struct _xmlDoc;
struct _xmlNode;

namespace kestrin::enrol {

// The document's vocabulary.
inline constexpr const char NODE_root_node[] = "kestrin.client.policy";
inline constexpr const char NODE_kestrin[] = "kestrin";
inline constexpr const char NODE_machine[] = "machine";
inline constexpr const char NODE_action[] = "action";
inline constexpr const char NODE_param_action_clean[] = "clean";
inline constexpr const char NODE_param_action_replace[] = "replace";
inline constexpr const char NODE_attributes[] = "attributes";
inline constexpr const char NODE_attribute[] = "attribute";
inline constexpr const char NODE_param_attrib_name[] = "name";
inline constexpr const char NODE_param_attrib_type[] = "type";
inline constexpr const char NODE_param_attrib_value[] = "value";

namespace POL::KESTRIN::SYSTEM {
inline constexpr const char REG_PATH[] = "system";
inline constexpr const char CONFIG_URL[] = "PolicyURL";
}  // namespace POL::KESTRIN::SYSTEM

// The largest document taken.
constexpr size_t kMaxPolicyDocument = 0x100000;

class CKestrinPolicy : public IKestrinPolicy, public CFactoryImpl<CKestrinPolicy>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CKestrinPolicy)
    ZELK_INTMAP_ENTRY(IKestrinPolicy)
    ZELK_END_INTMAP()

    enum POLICY_ACTION { ACTION_NONE = 0, ACTION_REPLACE = 1, ACTION_CLEAN = 2 };

    CKestrinPolicy();
    ~CKestrinPolicy() override;

    // IKestrinPolicy
    HRESULT SetNotificationCallback(IKestrinServiceNotification* callback) override;
    HRESULT DownloadPolicy(const char* url, unsigned int type, const char* group) override;
    HRESULT ImportPolicy(const OctetString* document, unsigned int type, const char* group) override;

    virtual HRESULT GetConfigXML();
    virtual HRESULT GetConfigXML(const char* url);
    virtual HRESULT ParseXML(OctetString* document);
    virtual HRESULT MakeConfig(unsigned int type, const char* group);
    virtual HRESULT PushConfig(const char* rootName, unsigned int type, const char* group);
    virtual HRESULT PushHKEY(_xmlNode* product, unsigned int type, const char* group, const char* groupName);
    virtual HRESULT PushAll(_xmlNode* machine, ZELK_IPolicy* productPolicy, const char* groupName);
    virtual HRESULT Push(_xmlNode* key, ZELK_IPolicy* productPolicy, const char* groupName);
    virtual HRESULT GetAction(_xmlNode* key, POLICY_ACTION* action);
    virtual HRESULT PushAllParams(_xmlNode* entry, ZELK_IPolicy* entryPolicy);
    virtual HRESULT QueryConnection(const char* url, signed char* flag, int* status, OctetString** body);

    // The document that was fetched last (for tests and the comparison).
    const OctetString* CurrentDocument() const { return m_pCurrentDocument; }

private:
    void Notify(unsigned kind, const wchar_t* text);
    // The narrow text of `key` with its one "%s" replaced by `argument`.
    StringT<char> TextWith(const char* key, const char* argument);
    const wchar_t* Text(const char* key);
    void FreeDocument();

    StringT<char> m_strPolicyURL;
    _xmlDoc* m_pDocument = nullptr;
    AuxPtr<OctetString> m_pCurrentDocument;
    IResourceManager* m_pResources = nullptr;
    IKestrinServiceNotification* m_pNotification = nullptr;
    AuxPtr<OctetString> m_pLastDocument;
    ZELK_IPolicy* m_pGroupPolicy = nullptr;
    ZELK::CriticalSection m_cs;
};

}  // namespace kestrin::enrol
