// The built-in default maps, registered while the deliverable's static objects
// are constructed, before any policy object exists. Registration order matters:
// the newest map is found first.
#include "policy_defaults.h"

namespace kestrin::policy {

namespace {

struct ZELK_AutoPolRegisterDefaults {
    explicit ZELK_AutoPolRegisterDefaults(ZELK_PolicyMap* map) { RegisterDefaults(map); }
};

constexpr ZELK_PolicyDefault kEnd = {nullptr, ZELK_POLICY_TYPE_END, nullptr, 0};

const ZELK_PolicyDefault kCommonEmpty[] = {kEnd};
const ZELK_PolicyDefault kCommon[] = {{POL::COMMON::TRUST_DB, ZELK_POLICY_TYPE_TEXT, "keychain:", 0},
                                      {POL::COMMON::SHOW_USER_POLICIES_PAGE, ZELK_POLICY_TYPE_NUMBER, nullptr, 1},
                                      kEnd};
const ZELK_PolicyDefault kCapi[] = {{POL::COMMON::CAPI::VALID_ONLY, ZELK_POLICY_TYPE_NUMBER, nullptr, 1}, kEnd};
const ZELK_PolicyDefault kApplications[] = {{POL::COMMON::CAPI::VALID_ONLY, ZELK_POLICY_TYPE_NUMBER, nullptr, 1}, kEnd};
const ZELK_PolicyDefault kPki[] = {kEnd};
const ZELK_PolicyDefault kProfiles[] = {{POL::KESTRIN::PROFILE::NETWORK_TIMEOUT, ZELK_POLICY_TYPE_NUMBER, nullptr, 45},
                                        kEnd};
const ZELK_PolicyDefault kProfile[] = {
    {POL::KESTRIN::PROFILE::SHOW_ERROR_MESSAGE, ZELK_POLICY_TYPE_NUMBER, nullptr, 1},
    {POL::KESTRIN::PROFILE::SHOW_SUCCESS_MESSAGE, ZELK_POLICY_TYPE_NUMBER, nullptr, 1},
    kEnd};
const ZELK_PolicyDefault kSystem[] = {{POL::KESTRIN::SYSTEM::NETWORK_TIMEOUT, ZELK_POLICY_TYPE_NUMBER, nullptr, 45},
                                      kEnd};
const ZELK_PolicyDefault kGvx[] = {{POL::GVX::SERVER_SESSION_KEY_TTL, ZELK_POLICY_TYPE_NUMBER, nullptr, 595}, kEnd};

ZELK_PolicyMap s_mapCommonEmpty = {POL::COMMON::REG_PATH, nullptr, kCommonEmpty};
ZELK_PolicyMap s_mapCommon = {POL::COMMON::REG_PATH, nullptr, kCommon};
ZELK_PolicyMap s_mapCapi = {POL::COMMON::CAPI::REG_PATH, nullptr, kCapi};
ZELK_PolicyMap s_mapApplications = {POL::KESTRIN::APPLICATIONS::REG_PATH_PATTERN, nullptr, kApplications};
ZELK_PolicyMap s_mapPki = {POL::PKI::REG_PATH, nullptr, kPki};
ZELK_PolicyMap s_mapProfiles = {POL::KESTRIN::PROFILE::REG_PATH, nullptr, kProfiles};
ZELK_PolicyMap s_mapProfile = {POL::KESTRIN::PROFILE::REG_PATH_PATTERN, nullptr, kProfile};
ZELK_PolicyMap s_mapSystem = {POL::KESTRIN::SYSTEM::REG_PATH, nullptr, kSystem};
ZELK_PolicyMap s_mapGvx = {POL::GVX::REG_PATH, nullptr, kGvx};

// One translation unit, so these run in the order written.
const ZELK_AutoPolRegisterDefaults s_reg1(&s_mapCommonEmpty);
const ZELK_AutoPolRegisterDefaults s_reg2(&s_mapCommon);
const ZELK_AutoPolRegisterDefaults s_reg3(&s_mapCapi);
const ZELK_AutoPolRegisterDefaults s_reg4(&s_mapApplications);
const ZELK_AutoPolRegisterDefaults s_reg5(&s_mapPki);
const ZELK_AutoPolRegisterDefaults s_reg6(&s_mapProfiles);
const ZELK_AutoPolRegisterDefaults s_reg7(&s_mapProfile);
const ZELK_AutoPolRegisterDefaults s_reg8(&s_mapSystem);
const ZELK_AutoPolRegisterDefaults s_reg9(&s_mapGvx);

}  // namespace

}  // namespace kestrin::policy
