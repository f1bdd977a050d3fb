// The policy store as every deliverable reaches it: the policy interfaces, the
// table "zelk.policy.1" of module "zelkpolicy", default maps and the names of
// the keys and values the built-in maps serve.
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_guid.h"
#include "zelk_result.h"
#include "zelk_sync.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_ZELK_IPolicy, 0x5B570C5D, 0x2BFF, 0x4D33, 0x8E, 0xA9, 0x1A, 0xF0, 0x65, 0xAF, 0x50, 0xFA);
ZELK_DEFINE_GUID(IID_ZELK_IPolicy_Internal, 0xD6603488, 0xC3F8, 0x4A93, 0x94, 0xCE, 0xDA, 0x85, 0xD4, 0x8F, 0x5A, 0x4E);
ZELK_DEFINE_GUID(IID_ZELK_Policy, 0xE7E4FDD5, 0xCA76, 0x4D99, 0x90, 0x5C, 0xA1, 0x77, 0x65, 0x79, 0xB3, 0x3B);
ZELK_DEFINE_GUID(IID_ZELK_Policy_Mem, 0x659CF40B, 0xF169, 0x4251, 0xA9, 0x18, 0x62, 0x4C, 0xED, 0x8E, 0x8E, 0xF6);
ZELK_DEFINE_GUID(IID_ZELK_Policy_File, 0xB191DC51, 0x86BC, 0x4C6D, 0xA2, 0x12, 0x24, 0xD3, 0x32, 0xD2, 0x75, 0xAF);
ZELK_DEFINE_GUID(IID_ZELK_Policy_Plist, 0x72138CA7, 0x1519, 0x4260, 0x97, 0x38, 0x13, 0x2E, 0xDF, 0xBD, 0xE2, 0x4E);
ZELK_DEFINE_GUID(IID_ZELK_Policy_Plist_Root, 0x0184A901, 0x28DD, 0x4F41, 0x9B, 0xFE, 0xAC, 0x2A, 0x7B, 0xAF, 0x3E,
                 0x7F);

// One configuration key: its named values (text, unsigned 32-bit number,
// binary) and its sub-keys. Text from GetString and the OctetString from
// GetBinary are the caller's, freed through the crypto library; GetName and
// GetPath stay the object's.
class ZELK_IPolicy : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ZELK_IPolicy; }

    virtual const char* GetName() = 0;
    virtual const char* GetPath() = 0;
    virtual int Bind(const char* path) = 0;
    virtual int Bind(const char* path, signed char flag) = 0;
    virtual bool IsConfigured(const char* name) = 0;
    // 0 with the name (always terminated within `size`); non-zero past the last.
    virtual int EnumSubKey(long index, char* name, long size) = 0;
    virtual int CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out) = 0;
    virtual int OpenSubKey(long index, ZELK_IPolicy** out) = 0;
    virtual bool IsChild(const char* name) = 0;
    virtual int OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out) = 0;
    virtual bool IsChangeable(const char* name) = 0;
    virtual bool IsFromPolicy(const char* name) = 0;
    virtual int GetString(const char* name, char** value) = 0;
    // The number; 0 when there is none.
    virtual unsigned GetDWORD(const char* name) = 0;
    virtual int GetBinary(const char* name, OctetString** value) = 0;
    virtual int SetString(const char* name, const char* value) = 0;
    virtual int SetDWORD(const char* name, unsigned value) = 0;
    virtual int SetBinary(const char* name, OctetString* value) = 0;
    virtual int DeleteSubkey(const char* name) = 0;
    virtual int SetConfigPath(const char* file) = 0;
    // The object's one change callback: a later one replaces it, NULL removes
    // it. The caller removes it (or releases the object) before the signal goes.
    virtual int RegisterCallback(ZELK::ISignal* callback) = 0;
};

// The second interface of every policy class, used inside module "zelkpolicy".
class ZELK_IPolicy_Internal : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ZELK_IPolicy_Internal; }

    virtual const char* GetPath() = 0;
    virtual int SetWriteThrough(signed char flag) = 0;
    virtual int BindTemplate(const char* path) = 0;
    virtual int Bind(const char* path) = 0;
    virtual int CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out) = 0;
    // The number with a result code, so that a missing value differs from 0.
    virtual int GetDWORD(const char* name, unsigned* value) = 0;
    // Further change signals beside the object's own callback (a chain hooks
    // its members this way); each is removed alone, so none replaces another.
    virtual int AddSignal(ZELK::ISignal* signal) = 0;
    virtual int RemoveSignal(ZELK::ISignal* signal) = 0;
};

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
namespace PCSC {
inline constexpr const char* REG_PATH = "Common/PCSC";
}  // namespace PCSC
namespace KERBEROS {
inline constexpr const char* REG_PATH = "Common/Kerberos";
inline constexpr const char* SSO_MODE = "SSOMode";
}  // namespace KERBEROS
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
inline constexpr const char* INACTIVITY_TIMEOUT = "inactivityTimeout";
}  // namespace PROFILE
namespace SYSTEM {
inline constexpr const char* REG_PATH = "system";
inline constexpr const char* NETWORK_TIMEOUT = "networkTimeout";
}  // namespace SYSTEM
}  // namespace KESTRIN
namespace PERMISSIONS {
inline constexpr const char* REG_PATH = "Permissions";
inline constexpr const char* SINGLE_USER = "SingleUser";
}  // namespace PERMISSIONS
namespace PKI {
inline constexpr const char* REG_PATH = "PKI";
}  // namespace PKI
namespace GVX {
inline constexpr const char* REG_PATH = "Common/GVX";
inline constexpr const char* SERVER_SESSION_KEY_TTL = "ServerSessionKeyTTL";
}  // namespace GVX
}  // namespace POL

// The table "zelk.policy.1" of module "zelkpolicy", slots in order.
struct ZELK_POLICY_FUNCTIONS : API_COMMON {
    int (*PolOpen)(const char* path, ZELK_IPolicy** out);                              // 1
    int (*PolOpenEx)(const char* path, const char* templatePath, ZELK_IPolicy** out);  // 2
    int (*PolOpenType)(const char* path, const char* className, ZELK_IPolicy** out);   // 3
    int (*PolClose)(ZELK_IPolicy** policy);                                            // 4
    int (*PolGetString)(ZELK_IPolicy* policy, const char* name, char** value);         // 5
    unsigned (*PolGetDWORD)(ZELK_IPolicy* policy, const char* name);                   // 6
    int (*PolRegisterDefaults)(ZELK_PolicyMap* map);                                   // 7
    int (*PolCreateSubKey)();                                                          // 8
    bool (*PolHasSubkey)(const char* path, const char* name);                          // 9
    int (*PolGetTempClone)(ZELK_IPolicy* policy, ZELK_IPolicy** out);                  // 10
    int (*PolCopySubKey)();                                                            // 11
    int (*PolCreateChain)(ZELK_IPolicy** policies, unsigned long count, unsigned long writePosition,
                          ZELK_IPolicy** out);  // 12
};

inline constexpr const char* ZELK_POLICY_MODULE = "zelkpolicy";
inline constexpr const char* ZELK_POLICY_API = "zelk.policy.1";
// A chain without a write member.
inline constexpr unsigned long ZELK_POLICY_NO_WRITE = ~0ul;
