// The policy store as a client deliverable reaches it: the bound table
// "zelk.policy.1" of module "zelkpolicy" and inline functions that call its
// slots. A deliverable that reads configuration binds the table once, in one
// of its source files:
//   ZELK_POLICY_CLIENT_BINDING();
// The provider's own ZELK_POLICY_TABLE points at its table from the start.
#pragma once

#include "zelk_module.h"
#include "zelk_policy.h"

extern API_COMMON* ZELK_POLICY_TABLE;

#define ZELK_POLICY_CLIENT_BINDING()                                                                                   \
    API_COMMON* ZELK_POLICY_TABLE = nullptr;                                                                           \
    static CLoadAPI s_zelkPolicyClientBinding(ZELK_POLICY_MODULE, ZELK_POLICY_API, &ZELK_POLICY_TABLE)

namespace kestrin::runtime::policy {
inline const ZELK_POLICY_FUNCTIONS* T()
{
    return ZELK_ApiCast<ZELK_POLICY_FUNCTIONS>(ZELK_POLICY_TABLE);
}
}  // namespace kestrin::runtime::policy

// An unbound table answers 0x80004005 (numbers: 0) rather than calling nowhere.
inline int ZELK_PolOpen(const char* path, ZELK_IPolicy** out)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolOpen(path, out) : E_FAIL;
}
inline int ZELK_PolOpenEx(const char* path, const char* templatePath, ZELK_IPolicy** out)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolOpenEx(path, templatePath, out) : E_FAIL;
}
inline int ZELK_PolOpenType(const char* path, const char* className, ZELK_IPolicy** out)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolOpenType(path, className, out) : E_FAIL;
}
inline int ZELK_PolClose(ZELK_IPolicy** policy)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolClose(policy) : E_FAIL;
}
inline int ZELK_PolGetString(ZELK_IPolicy* policy, const char* name, char** value)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolGetString(policy, name, value) : E_FAIL;
}
inline unsigned ZELK_PolGetDWORD(ZELK_IPolicy* policy, const char* name)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolGetDWORD(policy, name) : 0;
}
inline int ZELK_PolRegisterDefaults(ZELK_PolicyMap* map)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolRegisterDefaults(map) : E_FAIL;
}
inline bool ZELK_PolHasSubkey(const char* path, const char* name)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolHasSubkey(path, name) : false;
}
inline int ZELK_PolGetTempClone(ZELK_IPolicy* policy, ZELK_IPolicy** out)
{
    return kestrin::runtime::policy::T() ? kestrin::runtime::policy::T()->PolGetTempClone(policy, out) : E_FAIL;
}
inline int ZELK_PolCreateChain(ZELK_IPolicy** policies, unsigned long count, unsigned long writePosition,
                               ZELK_IPolicy** out)
{
    return kestrin::runtime::policy::T()
               ? kestrin::runtime::policy::T()->PolCreateChain(policies, count, writePosition, out)
               : E_FAIL;
}
