// The base of every view model: a revision that each change advances and the
// refresh callbacks that are told of it, in registration order, on the
// changing thread; the item base with its row texts.
#pragma once

#include <atomic>
#include <cstdint>

#include "zelk_gui_model.h"
#include "zelk_sync.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {

class CGUIModelBase {
public:
    CGUIModelBase() = default;
    virtual ~CGUIModelBase();
    CGUIModelBase(const CGUIModelBase&) = delete;
    CGUIModelBase& operator=(const CGUIModelBase&) = delete;

    virtual int64_t GetRevision();
    // Advances the revision, then calls every callback with its key while the
    // callback-list lock is held.
    virtual HRESULT NextRevision();
    // 1 when the pair is registered already; 0x8007000E when the list cannot
    // grow; 0x80000003 for a NULL callback.
    virtual HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key);
    // 1 when the pair is not registered; the order of the others is kept. From
    // another thread it returns only after a running round has ended.
    virtual HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key);

    // The revision lock, which models hold while they walk or change their elements.
    CriticalSection* GetCriticalSection() { return &m_csRevision; }

private:
    void Compact();

    std::atomic<int64_t> m_revision {0};
    uint64_t m_count = 0;
    // A pair removed during a round keeps its slot with a NULL callback until
    // the outermost round ends, so that the running loop's index stays valid.
    IGUIRefreshCB** m_callbacks = nullptr;
    uint64_t* m_keys = nullptr;
    unsigned m_rounds = 0;
    bool m_removed = false;
    CriticalSection m_csRevision;
    CriticalSection m_csCallbacks;
};

// A model interface I (a descendant of IGUIModel) over the base.
template <class I>
class CGUIModel : public I, public CGUIModelBase {
public:
    int64_t GetRevision() override { return CGUIModelBase::GetRevision(); }
    HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::RegisterCallback(callback, key);
    }
    HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::UnRegisterCallback(callback, key);
    }
};

// A row: icon, display text and sort key, brought up to date by the concrete
// item's RefreshItemInfo. Fields change and are read under the revision lock.
class CGUIModelItemBase : public CGUIModelBase {
public:
    // Recomputes the row, then hands out the icon and a copy of the text.
    virtual HRESULT GetItemInfo(IGUIItem_Icon* icon, char** text);
    // Computes the row while the key is empty; the first non-empty key stays.
    virtual const char* ItemGetKey();
    virtual int ItemCompare(IGUIModelItem* other);
    // Sets icon, text and (while it is empty) the sort key.
    virtual HRESULT RefreshItemInfo() = 0;

protected:
    // For RefreshItemInfo, under the revision lock.
    void SetItemInfo(IGUIItem_Icon icon, const char* text);
    void SetSortKeyOnce(const char* key);
    bool HasSortKey() const { return !String_IsEmpty(static_cast<const char*>(m_key)); }

private:
    int64_t m_infoRevision = -1;
    IGUIItem_Icon m_icon = ICON_NONE;
    StringT<char> m_text;
    StringT<char> m_key;
};

// An item interface I (a descendant of IGUIModelItem) over the item base.
template <class I>
class CGUIModelItem : public I, public CGUIModelItemBase {
public:
    int64_t GetRevision() override { return CGUIModelBase::GetRevision(); }
    HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::RegisterCallback(callback, key);
    }
    HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key) override
    {
        return CGUIModelBase::UnRegisterCallback(callback, key);
    }
    HRESULT GetItemInfo(IGUIItem_Icon* icon, char** text) override
    {
        return CGUIModelItemBase::GetItemInfo(icon, text);
    }
    const char* ItemGetKey() override { return CGUIModelItemBase::ItemGetKey(); }
    int ItemCompare(IGUIModelItem* other) override { return CGUIModelItemBase::ItemCompare(other); }
};

}  // namespace ZELK::PSESVC
