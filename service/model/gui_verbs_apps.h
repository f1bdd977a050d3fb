// The verb list of an item that stands for one credential: verb 0 is
// "verb.usefor.qev", which makes the credential the one configured for the
// root path or clears that choice; and the check box that shows the choice.
#pragma once

#include "gui_verb.h"
#include "qev_records.h"

namespace ZELK::PSESVC {

class CGUIModelVerbsWithApps : public CGUIModelVerbs {
public:
    CGUIModelVerbsWithApps();
    ~CGUIModelVerbsWithApps() override;

    // Refreshes the flags of verb 0 from the configuration first.
    uint64_t GetVerbCount() override;
    // Switches this credential on or off as the one configured for `app`;
    // the configuration write's result.
    virtual int UseForApp(ICredUI* dialog, unsigned long app);
    virtual const PersonalCertificateInfo* GetPCI() = 0;
    virtual const char* GetTokenURI() = 0;

private:
    CGUIVerb* m_useFor = nullptr;
};

class CGUIModelSelectedApps : public IGUIModelSelectedApps {
public:
    // "/" for index 0 while this credential is the one configured for the
    // root path; NULL otherwise.
    const char* GetSelectedApp(unsigned long index) override;
    virtual const PersonalCertificateInfo* GetPCI() = 0;
    virtual const char* GetTokenURI() = 0;
};

}  // namespace ZELK::PSESVC
