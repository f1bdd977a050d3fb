// The process's security context in module "zelkbase": the singleton "PSE"
// holding an ASC whose PSE comes from module "zelk" (the service PSE), the
// table "zelk.misc.base.asc.1" that hands out that ASC, its PSE and its
// accessors, and the singleton "OwnCertificates" that lists the PSE's own
// certificates as attribute views (IAttributes of zelk_base_certificate.h).
#pragma once

#include "qev_pse.h"
#include "zelk_guid.h"

constexpr const char* ZELKBASE_ASC_API = "zelk.misc.base.asc.1";
constexpr const char* ZELK_CLASS_PSE = "PSE";
constexpr const char* ZELK_CLASS_OWN_CERTIFICATES = "OwnCertificates";

// Attributes an own certificate answers: texts of its PersonalCertificateInfo.
constexpr uint32_t ZELK_ATTR_OWNCERT_TOKEN_URI = 240;  // tokenName
constexpr uint32_t ZELK_ATTR_OWNCERT_KEY_ID = 58;      // keyId
constexpr uint32_t ZELK_ATTR_OWNCERT_LABEL = 13;       // label

ZELK_DEFINE_GUID(IID_CPSE, 0x8D2F9F87, 0xC79D, 0x4569, 0xB8, 0xFF, 0x83, 0x5E, 0x3C, 0x60, 0x58, 0xBB);

extern "C" {

struct ZELKBASE_ASC_FUNCTIONS : API_COMMON {
    // 1, 2: the context or its PSE with one reference for the caller; 0, or
    // 0x80004005 with *out NULL when the process has none.
    HRESULT (*ASC_GetASC)(ASC** out);
    HRESULT (*ASC_GetPSE)(PSE** out);
    // 3, 4: the context's accessor with `out`, and its answer.
    HRESULT (*ASC_GetDB_CERT)(void* out);
    HRESULT (*ASC_GetVerificationContext)(void* out);
};

}  // extern "C"
