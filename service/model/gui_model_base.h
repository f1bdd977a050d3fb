// The base of every view model: a revision that each change advances and the
// refresh callbacks that are told of it, in registration order, on the
// changing thread.
#pragma once

#include <cstdint>

#include "zelk_gui_model.h"
#include "zelk_sync.h"

namespace ZELK::PSESVC {

class CGUIModelBase {
public:
    CGUIModelBase() = default;
    virtual ~CGUIModelBase();
    CGUIModelBase(const CGUIModelBase&) = delete;
    CGUIModelBase& operator=(const CGUIModelBase&) = delete;

    // Read without a lock.
    virtual int64_t GetRevision();
    // Advances the revision, then calls every callback with its key while the
    // callback-list lock is held.
    virtual HRESULT NextRevision();
    // 1 when the pair is registered already; 0x8007000E when the list cannot grow.
    virtual HRESULT RegisterCallback(IGUIRefreshCB* callback, unsigned long key);
    // 1 when the pair is not registered; the order of the others is kept.
    virtual HRESULT UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key);

    // The revision lock, which models hold while they walk or change their elements.
    CriticalSection* GetCriticalSection() { return &m_csRevision; }

private:
    std::atomic<int64_t> m_revision {0};
    uint64_t m_count = 0;
    IGUIRefreshCB** m_callbacks = nullptr;
    uint64_t* m_keys = nullptr;
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

}  // namespace ZELK::PSESVC
