// The reference counting and identity that the objects of the HTTPS layer share.
#pragma once

#include <atomic>

#include "zelk_common_fl.h"

namespace kestrin::qevcrypto::https {

// The reference counting and identity every object here shares.
template <class I>
class Counted : public I {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (!(iid == IID_IUnknown)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT cpy(I** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        AddRef();
        *out = this;
        return S_OK;
    }
    int cmp(const I* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

private:
    std::atomic<long> m_refs {1};
};

}  // namespace kestrin::qevcrypto::https
