// Table "keychain_api" of module "zelkbase": identities of the user's key
// store imported from PKCS#12, deleted by their private key's print name or
// by an identity preference, and recognised as the system's own (print name
// beginning with "QEV Kestrin ", blank included, case-sensitive).
#pragma once

#include "qevcrypto.h"

namespace kestrin::keystore {
struct Identity;
}

// An identity as the key store lists it (platform/keystore/keystore.h).
typedef const kestrin::keystore::Identity* SecIdentityRef;

constexpr const char* KEYCHAIN_API = "keychain_api";
constexpr const char* KEYCHAIN_KESTRIN_PREFIX = "QEV Kestrin ";

// The imported chain did not evaluate as trusted: the import was undone.
constexpr HRESULT KEYCHAIN_E_NO_TRUST = ZELK_RC(0x80000042);

extern "C" {

struct KEYCHAIN_API_FUNCTIONS : API_COMMON {
    // 1: imports the PKCS#12 file (its friendly name becomes the key's print
    // name). 0x80000003 without name or data; -1 for a failed or empty
    // import; KEYCHAIN_E_NO_TRUST when `trustCheck` found the chain untrusted
    // (the system's own identity is removed again, the issuers stay).
    // `setPreference` makes the identity the one preferred for `name`.
    HRESULT(*KeyChainImportFromP12)
    (const char* name, const char* password, const OctetString* data, bool trustCheck, bool setPreference);
    // 2: deletes the identity preferred for `name` and the preference; 0 also
    // when there is none, -1 when the preference could not be cleared.
    HRESULT (*KeyChainDeleteIdentityPref)(const char* name);
    // 3: 1 for one of the system's own identities, else 0.
    int (*KeyChain_Identity_IsKestrin)(SecIdentityRef identity);
    // 4: deletes every identity whose print name is exactly `name`; 0x80004005 when none.
    HRESULT (*KeyChainDelete_byPrivateKeyName)(const char* name);
    // 5: deletes every identity of the system's own; 0x80004005 when none.
    HRESULT (*KeyChainDeleteAllQEVSSO)();
};

}  // extern "C"
