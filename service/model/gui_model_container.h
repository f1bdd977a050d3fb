// A container model over an array of elements; the array is walked and
// changed under the revision lock.
#pragma once

#include "aux_iunknown_array.h"
#include "gui_model_base.h"

namespace ZELK::PSESVC {

template <class I, class T>
class CGUIModelContainer : public CGUIModel<I> {
public:
    ~CGUIModelContainer() override { DeleteAllElements(); }

    uint64_t GetElementCount() override
    {
        CriticalCodeSection lock(this->GetCriticalSection());
        return m_elements.Count();
    }

    HRESULT GetElement(unsigned long index, const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        CriticalCodeSection lock(this->GetCriticalSection());
        if (index >= m_elements.Count())
            return E_INVALIDARG;
        return ElementUnknown(m_elements[index])->QueryInterface(iid, out);
    }

    int Contains(IUnknown* element) override
    {
        CriticalCodeSection lock(this->GetCriticalSection());
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            IUnknown* unknown = nullptr;
            if (SUCCEEDED(
                    ElementUnknown(m_elements[i])->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)))) {
                unknown->Release();
                if (unknown == element)
                    return 1;
            }
        }
        return 0;
    }

    virtual HRESULT DeleteAllElements()
    {
        CriticalCodeSection lock(this->GetCriticalSection());
        m_elements.Free();
        return S_OK;
    }

protected:
    // Deletes the elements `match` accepts (the first one only, when
    // `firstOnly`) under the revision lock. Listeners are told after the lock
    // is gone, since they read the container back.
    template <class Match>
    void DeleteAndNotify(Match match, bool firstOnly)
    {
        bool removed = false;
        {
            CriticalCodeSection lock(this->GetCriticalSection());
            for (uint64_t i = 0; i < m_elements.Count();) {
                if (!match(m_elements[i])) {
                    ++i;
                    continue;
                }
                m_elements.Delete(i);
                removed = true;
                if (firstOnly)
                    break;
            }
        }
        if (removed)
            this->NextRevision();
    }

    AuxIUnknownArray<T> m_elements;
};

}  // namespace ZELK::PSESVC
