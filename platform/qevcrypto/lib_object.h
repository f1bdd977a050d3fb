// The reference counting and interface answer shared by the library's own
// objects (contexts, PSEs, slots, tokens, token objects): IUnknown and the
// interface's own identifier, counts safe across threads.
#pragma once

#include <atomic>

#include "zelk_unknown.h"

namespace kestrin::qevcrypto {

// `Common` is the interface whose common slots (cpy, cmp) the object has:
// the interface itself, or TokenObject for the token-object interfaces.
template <class I, class Common = I>
class LibObject : public I {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (!(iid == IID_IUnknown) && !(iid == Iid())) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = static_cast<I*>(this);
        return S_OK;
    }
    long AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    long Release() override
    {
        long n = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0)
            delete this;
        return n;
    }
    // The common copy of the library's objects: another reference.
    HRESULT cpy(Common** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        AddRef();
        *out = this;
        return S_OK;
    }

protected:
    LibObject() = default;
    ~LibObject() override = default;
    virtual const GUID& Iid() const = 0;

private:
    std::atomic<long> m_refs {1};
};

}  // namespace kestrin::qevcrypto
