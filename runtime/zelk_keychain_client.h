// The keychain identities as a client deliverable reaches them: the bound
// table "keychain_api" of module "zelkbase" and inline functions of the
// slots' names that call it. A deliverable that uses them binds the table
// once, in one of its source files:
//   ZELK_KEYCHAIN_CLIENT_BINDING();
#pragma once

#include "zelk_keychain.h"
#include "zelk_module.h"

extern API_COMMON* SEC_ZELK_KEYCHAIN_FUNCTION_TABLE;

#define ZELK_KEYCHAIN_CLIENT_BINDING()                                                                                 \
    API_COMMON* SEC_ZELK_KEYCHAIN_FUNCTION_TABLE = nullptr;                                                            \
    static CLoadAPI dynload_zelk_base_keychain("zelkbase", KEYCHAIN_API, &SEC_ZELK_KEYCHAIN_FUNCTION_TABLE)

namespace kestrin::runtime::keychain {
inline const KEYCHAIN_API_FUNCTIONS* T()
{
    return ZELK_ApiCast<KEYCHAIN_API_FUNCTIONS>(SEC_ZELK_KEYCHAIN_FUNCTION_TABLE);
}
}  // namespace kestrin::runtime::keychain

// An unbound table answers 0x80004005 (the own-identity test: 0) rather than calling nowhere.
inline HRESULT KeyChainImportFromP12(const char* name, const char* password, const OctetString* data, bool trustCheck,
                                     bool setPreference)
{
    return kestrin::runtime::keychain::T()
               ? kestrin::runtime::keychain::T()->KeyChainImportFromP12(name, password, data, trustCheck, setPreference)
               : E_FAIL;
}
inline HRESULT KeyChainDeleteIdentityPref(const char* name)
{
    return kestrin::runtime::keychain::T() ? kestrin::runtime::keychain::T()->KeyChainDeleteIdentityPref(name) : E_FAIL;
}
inline int KeyChain_Identity_IsKestrin(SecIdentityRef identity)
{
    return kestrin::runtime::keychain::T() ? kestrin::runtime::keychain::T()->KeyChain_Identity_IsKestrin(identity) : 0;
}
inline HRESULT KeyChainDelete_byPrivateKeyName(const char* name)
{
    return kestrin::runtime::keychain::T() ? kestrin::runtime::keychain::T()->KeyChainDelete_byPrivateKeyName(name)
                                           : E_FAIL;
}
inline HRESULT KeyChainDeleteAllQEVSSO()
{
    return kestrin::runtime::keychain::T() ? kestrin::runtime::keychain::T()->KeyChainDeleteAllQEVSSO() : E_FAIL;
}
