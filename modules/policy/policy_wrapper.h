// ZELK_Policy: answers the reads its inner object cannot answer from the
// built-in default map chosen by the bound key path; everything else goes to
// the inner object.
#pragma once

#include "policy_overrides.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

namespace kestrin::policy {

class ZELK_Policy : public ZELK_IPolicy, public ZELK_IPolicy_Internal, public CComObjectRoot {
public:
    ZELK_Policy() = default;
    ~ZELK_Policy() override = default;
    ZELK_Policy(const ZELK_Policy&) = delete;
    ZELK_Policy& operator=(const ZELK_Policy&) = delete;

    ZELK_BEGIN_INTMAP(ZELK_Policy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
    ZELK_INTMAP_ENTRY_CLASS(IID_ZELK_Policy)
    ZELK_END_INTMAP()

    // A wrapper over a new object of the named class of module "zelkpolicy";
    // the creation's failure when there is no such object.
    static HRESULT NewClass(const char* className, const GUID& iid, void** out);
    // Creators of "zelk.policy.plist" and "zelk.policy.file".
    static HRESULT NewPlist(const GUID& iid, void** out);
    static HRESULT NewFile(const GUID& iid, void** out);

    // The default entry of `name` in the chosen map, or NULL.
    const ZELK_PolicyDefault* GetDefaultValue(const char* name) const;

    ZELK_POLICY_OVERRIDES

private:
    ZELK_PTR(ZELK_IPolicy) m_inner;
    ZELK_PTR(ZELK_IPolicy_Internal) m_innerInternal;
    const ZELK_PolicyMap* m_template = nullptr;
    bool m_writeThrough = true;
};

}  // namespace kestrin::policy
