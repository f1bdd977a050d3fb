// The application policies: which policy below "applications" (system) or
// "groups/user/applications" (user and group policies) serves a connection's
// target name, chained with the secure-network-connection settings
// "Common/GVX"; the favourite token, the profile a login remembered for a
// target, and the assignment of a credential to an application from the GUI.
#pragma once

#include <cstdint>

#include "qev_records.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CApplications, 0x3E9D5B14, 0x7A2C, 0x4F06, 0x91, 0xB8, 0x0D, 0x64, 0xE2, 0x3F, 0x58, 0xA7);

namespace ZELK::PSESVC {

class IGUIModelOwnCert;

class CApplications : public IUnknown, public CSingletonFactoryImpl<CApplications>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CApplications)
    ZELK_INTMAP_ENTRY_CLASS(IID_CApplications)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CApplications; }

    CApplications();
    virtual ~CApplications();

    // Writes the credential (an own certificate, else the token URI) into the
    // application's policy ("/" for NULL).
    virtual HRESULT UseForApp(const char* application, const PersonalCertificateInfo* certificate,
                              const char* tokenURI);
    // 0 when the application's policy selects the credential, 1 when not.
    virtual HRESULT IsUsedForApp(const char* application, const PersonalCertificateInfo* certificate,
                                 const char* tokenURI);

    // The policy that serves `target`, its configuration chain and whether it
    // asks for a new login every time; each output may be NULL. 0.
    HRESULT GetPolicyByGssTargetName(const char* target, ZELK_IPolicy** policy, ZELK_IPolicy** chain, bool* reauth);
    // The best-matching sub-key of one list of application policies (NULL and
    // quality 0 when none matches). 0.
    HRESULT GetApplPolicyByGssTargetName(const char* target, ZELK_IPolicy* list, ZELK_IPolicy** best,
                                         unsigned* quality);
    // 0 and a copy of the profile remembered for `target`; 1 when none.
    HRESULT GetProfileByGssTargetName(const char* target, char** profile);
    // Remembers that `profile` serves `target`; a NULL target forgets the
    // profile's targets. 0.
    HRESULT SetProfileForGssTargetName(const char* profile, const char* target);
    HRESULT SetPolicyByOwnCert(const char* application, ZELK_IPolicy* policy, IGUIModelOwnCert* ownCert,
                               const char* tokenURI);

    // Equal texts, or names whose common names differ only by a "QEV/" prefix.
    static bool IsEqualGssTargetName(const char* a, const char* b);

private:
    ZELK_PTR(ZELK_IPolicy) m_system;
    ZELK_PTR(ZELK_IPolicy) m_user;
    ZELK_PTR(ZELK_IPolicy) m_root;
    ZELK_PTR(ZELK_IPolicy) m_gvx;

    CriticalSection m_csProfiles;
    // Rows (profile, target): a row without profile is free, a row without
    // target holds no target. Texts from the crypto library's allocator.
    uint64_t m_rows = 0;
    char** m_profiles = nullptr;
    char** m_targets = nullptr;
};

}  // namespace ZELK::PSESVC
