// The application-policy list "zelk.applications": the entry "default" for
// the common secure-network settings ("Common/GVX") and one entry per
// application policy that names a target. An entry reads a property from its
// application's policy when that sets it, else from the common settings, and
// writes only to the common settings where nothing forbids it.
#pragma once

#include "gui_model_container.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_IGUIModelApplication, 0x0DDC2C39, 0x3C22, 0x44B2, 0xB4, 0x67, 0x3D, 0x3A, 0xA4, 0xA8, 0x58, 0x74);
ZELK_DEFINE_GUID(IID_IGUIModelApplications, 0xCBD0328B, 0x10A7, 0x482D, 0xBA, 0xDE, 0x62, 0x53, 0x05, 0xFC, 0xE7, 0x80);
ZELK_DEFINE_GUID(IID_CModelApplication, 0xBCFEA45D, 0x97CD, 0x443C, 0xBA, 0xB6, 0xF8, 0x65, 0x70, 0x9D, 0xA9, 0x74);
ZELK_DEFINE_GUID(IID_CModelApplications, 0x9FC5A847, 0x7AFB, 0x4DA5, 0xB7, 0xDD, 0x80, 0xC7, 0xF8, 0x64, 0xC5, 0x5C);

namespace ZELK::PSESVC {

class IGUIModelApplication : public IGUIModel {
public:
    static const GUID& GetIID() { return IID_IGUIModelApplication; }

    virtual const char* GetName() = 0;
    virtual const char* GetFilter() = 0;
    virtual int GetFilterQuality() = 0;
    // `changeable` may be NULL.
    virtual unsigned GetIntegerProperty(const char* name, bool* changeable) = 0;
    virtual HRESULT GetStringProperty(const char* name, char** value, bool* changeable) = 0;
    // 0x80070005 where the application's policy or the store forbids it.
    virtual HRESULT SetIntegerProperty(const char* name, unsigned value) = 0;
    virtual HRESULT SetStringProperty(const char* name, const char* value) = 0;
};

class IGUIModelApplications : public IGUIModelContainer {
public:
    static const GUID& GetIID() { return IID_IGUIModelApplications; }

    // "" answers the entry "default".
    virtual HRESULT GetApplicationByGVXPartnerName(const char* target, IGUIModelApplication** out) = 0;
};

typedef CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> CPolicyPtr;

class CModelApplication : public CGUIModel<IGUIModelApplication>,
                          public CFactoryImpl<CModelApplication>,
                          public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplication)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelApplication)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelApplication)
    ZELK_INTMAP_ENTRY(IGUIModelApplication)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplication; }

    void Init(const char* name, ZELK_IPolicy* application, ZELK_IPolicy* common);

    const char* GetName() override { return m_name; }
    const char* GetFilter() override { return m_filter.IsEmpty() ? "" : static_cast<const char*>(m_filter); }
    int GetFilterQuality() override { return 0; }
    unsigned GetIntegerProperty(const char* name, bool* changeable) override;
    HRESULT GetStringProperty(const char* name, char** value, bool* changeable) override;
    HRESULT SetIntegerProperty(const char* name, unsigned value) override;
    HRESULT SetStringProperty(const char* name, const char* value) override;
    virtual int Compare(IGUIModelApplication*) { return 0; }

    ZELK_IPolicy* ApplicationPolicy() const { return m_application; }

private:
    // The application's policy configures `name`.
    bool Locked(const char* name);

    StringT<char> m_name;
    StringT<char> m_filter;
    CPolicyPtr m_application;
    CPolicyPtr m_common;
};

class CModelApplications : public CGUIModelContainer<IGUIModelApplications, CModelApplication>,
                           public CSingletonFactoryImpl<CModelApplications>,
                           public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplications)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelApplications)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelApplications)
    ZELK_INTMAP_ENTRY(IGUIModelApplications)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelApplications)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplications; }

    ~CModelApplications() override;

    // Both read the changed application paths first.
    uint64_t GetElementCount() override;
    HRESULT GetElement(unsigned long index, const GUID& iid, void** out) override;
    HRESULT GetApplicationByGVXPartnerName(const char* target, IGUIModelApplication** out) override;
    // The first entry after "default" of that path (without case); 0x80004005 when none.
    virtual HRESULT GetApplicationByPath(const char* path, IGUIModelApplication** out);

private:
    void Refresh();
    void ReadPath(ZELK_IPolicy* path);
    void DeleteOrphanedPolicies();
    bool HavePolicy(const char* name);
    HRESULT AddEntry(const char* name, ZELK_IPolicy* application);

    CriticalSection m_csRefresh;
    bool m_started = false;
    CPolicyPtr m_common;
    CPolicyPtr m_paths[2];
    Event m_changed[2];
};

}  // namespace ZELK::PSESVC
