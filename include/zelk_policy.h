// The policy store as every deliverable reaches it: built-in default maps, the
// names of the keys and values they serve, and (once the object model is in)
// the policy interfaces and the table "zelk.policy.1" of module "zelkpolicy".
#pragma once

#include <cstdint>

#include "zelk_result.h"

// One default value; an array of them ends with an entry of type 0.
struct ZELK_PolicyDefault {
  const char* name;
  uint32_t type;  // ZELK_POLICY_TYPE_*
  const char* text;
  uint32_t number;
};

constexpr uint32_t ZELK_POLICY_TYPE_END = 0;
constexpr uint32_t ZELK_POLICY_TYPE_TEXT = 1;
constexpr uint32_t ZELK_POLICY_TYPE_NUMBER = 4;

// The defaults of one key-path pattern. Maps are static data of the
// deliverable that registers them and stay registered for the process.
struct ZELK_PolicyMap {
  const char* pattern;
  ZELK_PolicyMap* next;
  const ZELK_PolicyDefault* entries;
};

namespace POL {
namespace COMMON {
inline constexpr const char* REG_PATH = "Common";
inline constexpr const char* TRUST_DB = "TrustDB";
inline constexpr const char* SHOW_USER_POLICIES_PAGE = "ShowUserPoliciesPage";
namespace CAPI {
inline constexpr const char* REG_PATH = "Common/CAPI";
inline constexpr const char* VALID_ONLY = "CAPIFilterValidOnly";
}  // namespace CAPI
}  // namespace COMMON
namespace KESTRIN {
namespace APPLICATIONS {
inline constexpr const char* REG_PATH_PATTERN = "applications/*";
}  // namespace APPLICATIONS
namespace PROFILE {
inline constexpr const char* REG_PATH = "profiles";
inline constexpr const char* REG_PATH_PATTERN = "profiles/*";
inline constexpr const char* NETWORK_TIMEOUT = "networkTimeout";
inline constexpr const char* SHOW_ERROR_MESSAGE = "showErrorMsg";
inline constexpr const char* SHOW_SUCCESS_MESSAGE = "showSuccessMsg";
}  // namespace PROFILE
namespace SYSTEM {
inline constexpr const char* REG_PATH = "system";
inline constexpr const char* NETWORK_TIMEOUT = "networkTimeout";
}  // namespace SYSTEM
}  // namespace KESTRIN
namespace PKI {
inline constexpr const char* REG_PATH = "PKI";
}  // namespace PKI
namespace GVX {
inline constexpr const char* REG_PATH = "Common/GVX";
inline constexpr const char* SERVER_SESSION_KEY_TTL = "ServerSessionKeyTTL";
}  // namespace GVX
}  // namespace POL
