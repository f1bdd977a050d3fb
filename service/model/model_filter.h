// Derived containers: a filtered view that follows one source container and
// keeps the source's elements that pass its membership test, and a union
// group that concatenates the elements of several member models.
#pragma once

#include <atomic>
#include <cstdint>

#include "gui_model_container.h"
#include "zelk_object.h"
#include "zelk_ptr.h"

ZELK_DEFINE_GUID(IID_CModelGroup, 0xAD0E5DCB, 0x7661, 0x41E7, 0xA7, 0xBB, 0x28, 0xE1, 0x4C, 0x37, 0x3B, 0xCD);
ZELK_DEFINE_GUID(IID_CModelFilter, 0x753B03E4, 0x75F4, 0x490B, 0xB5, 0xAD, 0x91, 0xD3, 0x09, 0xA8, 0x82, 0xDA);

namespace ZELK::PSESVC {

// An enrolment-profile credential ("toksw:mem://kestrin/", without case).
bool IsKestrinToken(const char* uri);
// A key-store identity ("tokkeychain:", without case).
bool IsLocalToken(const char* uri);

class CModelFilter : public CGUIModelContainer<IGUIModelContainer, IGUIModel>,
                     public IGUIRefreshCB,
                     public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelFilter)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_END_INTMAP()

    // No source; the owner picks one later.
    CModelFilter() = default;
    // The source by class name; the first read fills the filter.
    explicit CModelFilter(const char* className);
    ~CModelFilter() override;

    // Creates the class in module "zelk" (NULL when that fails) and follows it; 0.
    virtual HRESULT SetContainer(const char* className);
    // 1 when `source` is the current source; else follows it and, unless the
    // first read is still to fill, refreshes at once; 0.
    virtual HRESULT SetContainer(IGUIModelContainer* source);
    // Recomputes the members; the key is not used.
    HRESULT RefreshCB(unsigned long key) override;
    virtual bool IsMember(IGUIModel* element) = 0;

    uint64_t GetElementCount() override;
    HRESULT GetElement(unsigned long index, const GUID& iid, void** out) override;

protected:
    // Stops following the source; returns once no round calls this filter.
    // A subclass whose IsMember reads its own members calls it first in its
    // destructor, before those members go.
    void DetachSource();

private:
    void FillOnFirstRead();

    typedef CComPtr<CComIID<IGUIModelContainer, &IID_IGUIModelContainer>> SourcePtr;
    CriticalSection m_csSource;
    SourcePtr m_source;
    std::atomic<bool> m_deferred {false};
    // The source's revision of the list applied last, so that a slower
    // refresh with an older list never replaces a newer one.
    int64_t m_appliedRevision = -1;
};

class CModelGroup : public CGUIModelBase, public IGUIModelContainer, public IGUIRefreshCB, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelGroup)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelContainer)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelGroup)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelGroup; }

    struct MemberInfo {
        CComPtr<CComIID<IGUIModel, &IID_IGUIModel>> member;
        CComPtr<CComIID<IGUIModelContainer, &IID_IGUIModelContainer>> container;  // NULL for an item
        uint64_t count = 0;
        int64_t revision = 0;
    };

    CModelGroup() = default;
    ~CModelGroup() override;

    // Creates the class in module "zelk" as IGUIModel and adds it.
    virtual HRESULT AddGroupMember(const char* className);
    // 0x80004005 for NULL; else appends the member and follows it when it is a
    // container; 0.
    virtual HRESULT AddGroupMember(IGUIModel* member);

    int64_t GetRevision() override { return CGUIModelBase::GetRevision(); }
    HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::RegisterCallback(callback, key);
    }
    HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::UnRegisterCallback(callback, key);
    }
    uint64_t GetElementCount() override;
    // 0x80004005 beyond the recorded counts; else the member's answer.
    HRESULT GetElement(unsigned long index, const GUID& iid, void** out) override;
    int Contains(IUnknown* element) override;
    // Refreshes the record of member `key`; other keys are ignored.
    HRESULT RefreshCB(unsigned long key) override;

private:
    // Copies of the members' references, taken under the member lock.
    struct Snapshot;
    bool TakeSnapshot(Snapshot& snapshot);

    CriticalSection m_csMembers;
    MemberInfo** m_members = nullptr;
    uint64_t m_count = 0;
};

// The profile window's list: own certificates, tokens and the Kerberos item;
// profile rows stand for their certificates and the local server is hidden.
class CModelFilterSelectOwnCert : public CModelFilter, public CSingletonFactoryImpl<CModelFilterSelectOwnCert> {
public:
    CModelFilterSelectOwnCert() : CModelFilter("zelk.model.owncerts.token.kerberos") {}
    bool IsMember(IGUIModel* element) override;
};

class CModelFilterSelectOwnCertKestrin : public CModelFilter,
                                         public CSingletonFactoryImpl<CModelFilterSelectOwnCertKestrin> {
public:
    CModelFilterSelectOwnCertKestrin() : CModelFilter("zelk.model.owncerts.token") {}
    bool IsMember(IGUIModel* element) override;
};

// Key-store identities only.
class CModelFilterSelectLocalCertsOnly : public CModelFilter,
                                         public CSingletonFactoryImpl<CModelFilterSelectLocalCertsOnly> {
public:
    CModelFilterSelectLocalCertsOnly() : CModelFilter("zelk.model.owncerts") {}
    bool IsMember(IGUIModel* element) override;
};

class CModelGroupOwnCertKerberos : public CModelGroup, public CSingletonFactoryImpl<CModelGroupOwnCertKerberos> {
public:
    CModelGroupOwnCertKerberos();
};

class CModelGroupOwnCertToken : public CModelGroup, public CSingletonFactoryImpl<CModelGroupOwnCertToken> {
public:
    CModelGroupOwnCertToken();
};

class CModelGroupOwnCertTokenKerberos : public CModelGroup,
                                        public CSingletonFactoryImpl<CModelGroupOwnCertTokenKerberos> {
public:
    CModelGroupOwnCertTokenKerberos();
};

class CModelGroupOwnCertAndDisabled : public CModelGroup, public CSingletonFactoryImpl<CModelGroupOwnCertAndDisabled> {
public:
    CModelGroupOwnCertAndDisabled();
};

}  // namespace ZELK::PSESVC
