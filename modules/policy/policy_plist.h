// A policy object bound to one key path inside one preference file (the
// system's or the user's). Reads and writes go to the file's root; change
// callbacks and added signals are the root's listeners until this object goes.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "key_path.h"
#include "plist_root.h"
#include "policy_overrides.h"
#include "zelk_object.h"
#include "zelk_policy.h"

namespace kestrin::policy {

class ZELK_Policy_Plist : public ZELK_IPolicy, public ZELK_IPolicy_Internal, public CComObjectRoot {
public:
    explicit ZELK_Policy_Plist(std::shared_ptr<PlistRoot> root);
    ~ZELK_Policy_Plist() override;
    ZELK_Policy_Plist(const ZELK_Policy_Plist&) = delete;
    ZELK_Policy_Plist& operator=(const ZELK_Policy_Plist&) = delete;

    ZELK_BEGIN_INTMAP(ZELK_Policy_Plist)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
    ZELK_INTMAP_ENTRY_CLASS(IID_ZELK_Policy_Plist)
    ZELK_END_INTMAP()

    // Creators of the classes "zelk.policy.plist.nodefault.SYS" and ".USR".
    static HRESULT NewSystem(const GUID& iid, void** out);
    static HRESULT NewUser(const GUID& iid, void** out);

    ZELK_POLICY_OVERRIDES

    // A new object on the same root bound to `path`.
    HRESULT NewWithSameRoot(const KeyPath& path, ZELK_IPolicy** out);

private:
    static HRESULT NewOnRoot(std::shared_ptr<PlistRoot> root, const GUID& iid, void** out);
    KeyPath Path();
    void SetPath(KeyPath path);

    std::shared_ptr<PlistRoot> m_root;
    std::mutex m_lock;  // path and its texts
    KeyPath m_path;
    std::string m_pathText = "/";
};

}  // namespace kestrin::policy
