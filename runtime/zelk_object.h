// The object model: reference-counted components that answer QueryInterface
// from a static interface map, and the two creator templates that the class
// registry calls (a new object per request, or one object per process).
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "zelk_singletons.h"
#include "zelk_sync.h"
#include "zelk_unknown.h"

// One row of a class's interface map; the map ends with a row of kind 0.
struct _ZELK_INTMAP_ENTRY {
    const GUID* piid;
    uint64_t offset;  // from the start of the class object to the interface's sub-object
    uint64_t kind;    // 1 interface row, 0 end row
};

constexpr uint64_t ZELK_INTMAP_END = 0;
constexpr uint64_t ZELK_INTMAP_INTERFACE = 1;

// Distance from a class object to its base sub-object, as the compiler lays it out.
template <class Derived, class Base>
uint64_t ZELK_OffsetOfBase()
{
    constexpr uintptr_t probe = 0x1000;
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(static_cast<Base*>(reinterpret_cast<Derived*>(probe)))
                                 - probe);
}

// Interface map of a class:
//   ZELK_BEGIN_INTMAP(CMyClass)
//     ZELK_INTMAP_ENTRY_CLASS(IID_CMyClass)   // the class identifier, offset 0
//     ZELK_INTMAP_ENTRY(IMyInterface)         // answers IID_IMyInterface
//     ZELK_INTMAP_ENTRY_IID(IID_IOther, IMyInterface)
//   ZELK_END_INTMAP()
// The first row also answers IID_IUnknown.
#define ZELK_BEGIN_INTMAP(cls)                                                                                         \
public:                                                                                                                \
    typedef cls _ZelkIntMapClass;                                                                                      \
    HRESULT _InternalQueryInterface(const GUID& iid, void** out)                                                       \
    {                                                                                                                  \
        return InternalQueryInterface(static_cast<void*>(this), _GetEntries(), iid, out);                              \
    }                                                                                                                  \
    static const _ZELK_INTMAP_ENTRY* _GetEntries()                                                                     \
    {                                                                                                                  \
        static const _ZELK_INTMAP_ENTRY s_entries[] = {
#define ZELK_INTMAP_ENTRY_IID(iid, iface) {&(iid), ZELK_OffsetOfBase<_ZelkIntMapClass, iface>(), ZELK_INTMAP_INTERFACE},
#define ZELK_INTMAP_ENTRY(iface) ZELK_INTMAP_ENTRY_IID(IID_##iface, iface)
#define ZELK_INTMAP_ENTRY_CLASS(iid) {&(iid), 0, ZELK_INTMAP_INTERFACE},
#define ZELK_END_INTMAP()                                                                                              \
    {                                                                                                                  \
        nullptr, 0, ZELK_INTMAP_END                                                                                    \
    }                                                                                                                  \
    }                                                                                                                  \
    ;                                                                                                                  \
    return s_entries;                                                                                                  \
    }

// The reference count of a component. Every change goes through the
// deliverable's counting lock.
class CComObjectRoot {
public:
    CComObjectRoot() = default;
    virtual ~CComObjectRoot() = default;
    CComObjectRoot(const CComObjectRoot&) = delete;
    CComObjectRoot& operator=(const CComObjectRoot&) = delete;

    // The answering row gives object + offset and one reference more;
    // a missing identifier gives 0x80000004 and *out NULL.
    HRESULT InternalQueryInterface(void* object, const _ZELK_INTMAP_ENTRY* entries, const GUID& iid, void** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (entries == nullptr)
            return E_NOINTERFACE;
        const _ZELK_INTMAP_ENTRY* answer = nullptr;
        if (iid == IID_IUnknown && entries[0].kind == ZELK_INTMAP_INTERFACE) {
            answer = &entries[0];
        } else {
            for (const _ZELK_INTMAP_ENTRY* row = entries; row->kind != ZELK_INTMAP_END; ++row) {
                if (row->kind == ZELK_INTMAP_INTERFACE && *row->piid == iid) {
                    answer = row;
                    break;
                }
            }
        }
        if (answer == nullptr)
            return E_NOINTERFACE;
        *out = static_cast<char*>(object) + answer->offset;
        InternalAddRef();
        return S_OK;
    }

    long InternalAddRef() { return InterlockedIncrement(&m_dwRef); }
    long InternalRelease() { return InterlockedDecrement(&m_dwRef); }
    // A reference for a holder of a raw pointer that must not revive an object
    // whose count has reached 0: 0 when none was taken.
    long InternalAddRefUnlessZero() { return InterlockedIncrementUnlessZero(&m_dwRef); }

protected:
    long m_dwRef = 0;
};

// The implementation of IUnknown over a class that derives from its
// interfaces and CComObjectRoot; the object deletes itself at count 0.
template <class T>
class CComObject final : public T {
public:
    template <class... Args>
    explicit CComObject(Args&&... args) : T(std::forward<Args>(args)...)
    {}

    HRESULT QueryInterface(const GUID& iid, void** out) override { return this->_InternalQueryInterface(iid, out); }
    long AddRef() override { return this->InternalAddRef(); }
    long Release() override
    {
        long count = this->InternalRelease();
        if (count == 0)
            delete this;
        return count;
    }

    // A new object with count 0; 0x8007000E when it cannot be allocated.
    template <class... Args>
    static HRESULT CreateInstance(CComObject** out, Args&&... args)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = new (std::nothrow) CComObject(std::forward<Args>(args)...);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
};

// Creator of a class that is created anew on every request.
template <class T>
class CFactoryImpl {
public:
    // A failed query destroys the new object at once.
    static HRESULT New(const GUID& iid, void** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        CComObject<T>* object = nullptr;
        HRESULT hr = CComObject<T>::CreateInstance(&object);
        if (FAILED(hr))
            return hr;
        object->AddRef();
        hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
};

// Creator and registry hook of a class with one object per process. The
// object is created on first request under the class's lock, holds one
// reference for the singleton registry and is released at the registry's stop.
template <class T>
class CSingletonFactoryImpl : public ISingleton {
public:
    HRESULT Initialize() override { return S_OK; }

    // Drops the registry's reference; may destroy the object (and this).
    HRESULT Finalize() override
    {
        ZELK::CriticalCodeSection lock(&s_cs);
        CComObject<T>* object = s_pThis;
        s_pThis = nullptr;
        if (object != nullptr)
            object->Release();
        return S_OK;
    }

    // Creates the singleton when it does not exist. The pointer is read and
    // written only under the class's lock, and the object is registered before
    // any other thread can see it.
    static HRESULT New()
    {
        ZELK::CriticalCodeSection lock(&s_cs);
        if (s_pThis != nullptr)
            return S_OK;
        CComObject<T>* object = nullptr;
        HRESULT hr = CComObject<T>::CreateInstance(&object);
        if (FAILED(hr))
            return hr;
        object->AddRef();
        object->Initialize();
        hr = ZELK_RegisterSingleton(static_cast<ISingleton*>(object), 1);
        if (FAILED(hr)) {
            object->Release();
            return hr;
        }
        s_pThis = object;
        return S_OK;
    }

    // The creator that the class registry calls.
    static HRESULT New(const GUID& iid, void** out)
    {
        return Answer(out, [&](CComObject<T>* object) { return object->QueryInterface(iid, out); });
    }

    // Typed access: the singleton itself with one reference for the caller.
    static HRESULT New(T** out)
    {
        return Answer(out, [&](CComObject<T>* object) {
            object->AddRef();
            *out = object;
            return S_OK;
        });
    }

protected:
    // Clears *out, makes sure the singleton exists and lets `answer` fill *out,
    // all under the class's lock so that a concurrent stop cannot interleave.
    template <class Out, class F>
    static HRESULT Answer(Out* out, F answer)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        ZELK::CriticalCodeSection lock(&s_cs);
        HRESULT hr = New();
        if (FAILED(hr))
            return hr;
        return answer(s_pThis);
    }

    static inline CComObject<T>* s_pThis = nullptr;
    static inline ZELK::CriticalSection s_cs;
};
