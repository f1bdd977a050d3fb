// Verbs (user actions on a model) and a model's verb list. A verb holds only
// a raw pointer to its owner; the owner detaches the verbs it made before it
// goes, and a verb takes the owner only while its count has not reached 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "zelk_gui.h"
#include "zelk_gui_model.h"
#include "zelk_object.h"
#include "zelk_sync.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {

class CGUIVerb : public IGUIVerb, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CGUIVerb)
    ZELK_INTMAP_ENTRY_CLASS(IID_CGUIVerb)
    ZELK_INTMAP_ENTRY(IGUIVerb)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CGUIVerb; }

    const char* GetVerbName() override { return m_name; }
    // The menu text of bundle "zelkgui" for the known verbs, else the name;
    // computed on the first call and kept.
    const char* GetVerbDisplayName() override;
    HRESULT SetState(uint32_t state) override
    {
        m_state.store(state, std::memory_order_relaxed);
        return S_OK;
    }
    uint32_t GetState() override { return m_state.load(std::memory_order_relaxed); }
    // Clears the owner; a detached verb answers 0x80004005.
    virtual void Detach() = 0;

protected:
    explicit CGUIVerb(const char* name) : m_name(name) {}

    // Guards the owner against Detach while DoVerb takes it.
    CriticalSection m_csOwner;

    // A reference on the owner unless it is already being destroyed.
    template <class T>
    static bool TakeOwner(T* owner)
    {
        CComObjectRoot* root = nullptr;
        if constexpr (std::is_base_of_v<CComObjectRoot, T>)
            root = owner;
        else
            root = dynamic_cast<CComObjectRoot*>(owner);
        return root != nullptr && root->InternalAddRefUnlessZero() != 0;
    }
    template <class T>
    static void ReleaseOwner(T* owner)
    {
        if constexpr (std::is_convertible_v<T*, IUnknown*>)
            static_cast<IUnknown*>(owner)->Release();
        else
            static_cast<IGUIVerbs*>(owner)->Release();
    }

private:
    StringT<char> m_name;
    CriticalSection m_csDisplay;
    StringT<char> m_display;
    std::atomic<uint32_t> m_state {0};
};

// A verb bound to a member function of its owner T, which gives
// DoVerbBegin(ICredUI*) and DoVerbEnd(ICredUI*).
template <class T>
class CGUIVerbImpl : public CGUIVerb {
public:
    typedef int (T::*Method)(ICredUI*);

    CGUIVerbImpl(T* owner, Method method, const char* name) : CGUIVerb(name), m_owner(owner), m_method(method) {}

    // A new verb with state 0 and one reference for `out`.
    static HRESULT New(T* owner, Method method, const char* name, CGUIVerb** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        CComObject<CGUIVerbImpl>* verb = nullptr;
        HRESULT hr = CComObject<CGUIVerbImpl>::CreateInstance(&verb, owner, method, name);
        if (FAILED(hr))
            return hr;
        verb->AddRef();
        *out = verb;
        return S_OK;
    }

    HRESULT DoVerb(ICredUI* dialog) override
    {
        T* owner = nullptr;
        Method method = nullptr;
        {
            CriticalCodeSection lock(&m_csOwner);
            if (m_owner == nullptr || m_method == nullptr || !TakeOwner(m_owner))
                return E_FAIL;
            owner = m_owner;
            method = m_method;
        }
        HRESULT hr = owner->DoVerbBegin(dialog);
        if (hr >= 0) {
            hr = (owner->*method)(dialog);
            owner->DoVerbEnd(dialog);
        }
        ReleaseOwner(owner);
        return hr;
    }

    void Detach() override
    {
        CriticalCodeSection lock(&m_csOwner);
        m_owner = nullptr;
        m_method = nullptr;
    }

private:
    T* m_owner;
    Method m_method;
};

// A verb bound to a member function that takes a stored parameter.
template <class T>
class CGUIVerbImplEx : public CGUIVerb {
public:
    typedef int (T::*Method)(ICredUI*, unsigned long);

    CGUIVerbImplEx(T* owner, Method method, unsigned long param, const char* name)
        : CGUIVerb(name), m_owner(owner), m_method(method), m_param(param)
    {}

    static HRESULT New(T* owner, Method method, unsigned long param, const char* name, CGUIVerb** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        CComObject<CGUIVerbImplEx>* verb = nullptr;
        HRESULT hr = CComObject<CGUIVerbImplEx>::CreateInstance(&verb, owner, method, param, name);
        if (FAILED(hr))
            return hr;
        verb->AddRef();
        *out = verb;
        return S_OK;
    }

    HRESULT DoVerb(ICredUI* dialog) override
    {
        T* owner = nullptr;
        Method method = nullptr;
        unsigned long param = 0;
        {
            CriticalCodeSection lock(&m_csOwner);
            if (m_owner == nullptr || m_method == nullptr || !TakeOwner(m_owner))
                return E_FAIL;
            owner = m_owner;
            method = m_method;
            param = m_param;
        }
        HRESULT hr = owner->DoVerbBegin(dialog);
        if (hr >= 0) {
            hr = (owner->*method)(dialog, param);
            owner->DoVerbEnd(dialog);
        }
        ReleaseOwner(owner);
        return hr;
    }

    void Detach() override
    {
        CriticalCodeSection lock(&m_csOwner);
        m_owner = nullptr;
        m_method = nullptr;
        m_param = 0;
    }

private:
    T* m_owner;
    Method m_method;
    unsigned long m_param;
};

// The verbs of an item, one reference each, in the crypto library's memory;
// changed and read under the verb-list lock.
class CGUIModelVerbs : public IGUIVerbs {
public:
    CGUIModelVerbs() = default;
    ~CGUIModelVerbs() override;
    CGUIModelVerbs(const CGUIModelVerbs&) = delete;
    CGUIModelVerbs& operator=(const CGUIModelVerbs&) = delete;

    uint64_t GetVerbCount() override;
    HRESULT GetVerb(unsigned long index, IGUIVerb** out) override;
    // Replaces the list (the old verbs are released); NULL verbs are skipped.
    HRESULT SetVerbs(unsigned long count, IGUIVerb** verbs) override;
    // Appends; NULL verbs are skipped; 0x8007000E and no change when the list
    // cannot grow.
    HRESULT AddVerbs(unsigned long count, IGUIVerb** verbs) override;
    virtual HRESULT DoVerbBegin(ICredUI*) { return S_OK; }
    virtual HRESULT DoVerbEnd(ICredUI*) { return S_OK; }

private:
    CriticalSection m_csVerbs;
    uint64_t m_count = 0;
    IGUIVerb** m_verbs = nullptr;
};

}  // namespace ZELK::PSESVC
