// The client side of the remoting: the base of every proxy, the registry of
// one connection's proxies, and the template that gives each object number
// one proxy. Reference counts of all proxies change under ProxyBase::s_cs;
// lock order: s_cs before a registry's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "transaction.h"
#include "zelk_common_fl.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {

class ProxyReg;

// The cache of one string-valued method: filled once, under its own lock,
// and never replaced while the proxy lives.
class StringCache {
public:
    StringCache() = default;
    ~StringCache();
    StringCache(const StringCache&) = delete;
    StringCache& operator=(const StringCache&) = delete;

    std::mutex lock;
    char* text = nullptr;
};

class ProxyBase {
public:
    ProxyBase() = default;
    virtual ~ProxyBase();
    ProxyBase(const ProxyBase&) = delete;
    ProxyBase& operator=(const ProxyBase&) = delete;

    // Proxies answer no interface queries: 0x80000004, *out NULL.
    virtual HRESULT QueryInterface(const GUID& iid, void** out);
    virtual long AddRef();
    // At 0 the proxy leaves its registry, is deleted, and its Release request
    // goes out over its tunnel (result ignored).
    virtual long Release();
    virtual const char* getType();
    virtual HRESULT print(char** out, const char* indent, PRINT_CTX* context);
    // The service's string of method `m`, asked once and kept in `cache`.
    virtual HRESULT getStaticString(Method m, StringCache& cache, const char** out);
    // One exchange: a broken proxy answers 0x8007006D without sending; a
    // broken tunnel breaks the whole registry.
    virtual HRESULT Execute(Transaction* transaction);
    // The same over `tunnel`, the proxy's tunnel when the exchange began. A
    // failure breaks the registry only while that tunnel is still the proxy's.
    HRESULT ExecuteOn(Transaction* transaction, ITunnel* tunnel);

    HRESULT Reset();
    ProxyReg* Registry() const { return m_registry; }
    uint32_t Number() const { return m_number; }
    bool IsBroken() const { return m_broken; }
    void SetBroken(bool broken) { m_broken = broken; }
    // The proxy's tunnel (NULL when it has none). A replaced tunnel is kept
    // until the proxy ends, so the pointer stays valid for the proxy's life
    // without a reference per call.
    ITunnel* Tunnel() const { return m_tunnel.load(std::memory_order_acquire); }
    void SetTunnel(ITunnel* tunnel);

    static ZELK::CriticalSection s_cs;

private:
    friend class ProxyReg;

    ProxyReg* m_registry = nullptr;
    std::mutex m_tunnelLock;
    std::atomic<ITunnel*> m_tunnel {nullptr};  // one reference
    std::vector<ITunnel*> m_retired;           // one reference each
    uint32_t m_refs = 1;
    uint32_t m_number = 0;
    std::atomic<bool> m_broken {false};
};

// The proxies of one connection, the root first. Each registered proxy
// holds the registry; it ends with the last of them.
class ProxyReg {
public:
    // A new registry held once by the caller.
    static ProxyReg* New();
    void AddRef();
    void Release();

    HRESULT Register(ProxyBase* proxy, ITunnel* tunnel, uint32_t id);
    // The live proxy with that number, without a reference.
    ProxyBase* Search(uint32_t id);
    HRESULT UnRegister(ProxyBase* proxy);
    // The tunnel broke: every proxy is marked broken; only the root stays
    // findable by its number.
    HRESULT Reset();

    // An exchange of this registry succeeded over its current tunnel; a later
    // -1 from that tunnel means that its session is gone.
    void NoteCarried()
    {
        if (!m_carried.load(std::memory_order_relaxed))
            m_carried = true;
    }
    bool Carried() const { return m_carried; }
    // The root's tunnel was replaced.
    void ClearCarried() { m_carried = false; }

private:
    ProxyReg() = default;

    std::mutex m_lock;
    std::vector<ProxyBase*> m_live;
    std::atomic<long> m_refs {1};
    std::atomic<bool> m_carried {false};
};

// The interface whose common slots T carries (T itself, or the token-object
// base of the token-object kinds); void for a plain IUnknown interface.
template <class I>
I CommonInterfaceOf(COMMON_FL_TEMPLATE<I>*);
void CommonInterfaceOf(...);
template <class T>
using CommonOf = decltype(CommonInterfaceOf(std::declval<T*>()));

// A proxy's face towards the interface T: IUnknown's slots lead to
// ProxyBase, and so do the common slots of the crypto library's objects when T
// has them.
template <class T, class C = CommonOf<T>>
class ProxyFace : public ProxyBase, public T {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override { return ProxyBase::QueryInterface(iid, out); }
    long AddRef() override { return ProxyBase::AddRef(); }
    long Release() override { return ProxyBase::Release(); }
    const char* getType() override { return ProxyBase::getType(); }
    HRESULT cpy(C** out) override { return S_OK; }
    int cmp(const C* other) override { return 0; }
    HRESULT print(char** out, const char* indent, PRINT_CTX* context) override
    {
        return ProxyBase::print(out, indent, context);
    }
};

template <class T>
class ProxyFace<T, void> : public ProxyBase, public T {
public:
    HRESULT QueryInterface(const GUID& iid, void** out) override { return ProxyBase::QueryInterface(iid, out); }
    long AddRef() override { return ProxyBase::AddRef(); }
    long Release() override { return ProxyBase::Release(); }
};

// The proxy class P of the interface T; P implements T's own slots.
template <class P, class T>
class Proxy : public ProxyFace<T> {
public:
    // The one proxy for `id` in `registry`, with a reference for the caller:
    // the live one, or a new one. Looked up and counted under s_cs, so that a
    // concurrent last Release cannot free it in between. NULL when memory
    // runs out.
    static T* GetInstance(ProxyReg* registry, ITunnel* tunnel, uint32_t id)
    {
        ZELK::CriticalCodeSection lock(&ProxyBase::s_cs);
        if (ProxyBase* found = registry->Search(id)) {
            found->AddRef();
            return static_cast<P*>(found);
        }
        P* proxy = new (std::nothrow) P();
        if (proxy == nullptr)
            return nullptr;
        registry->Register(proxy, tunnel, id);
        return proxy;
    }
};

// Reads an object number of kind P::kKind and makes it a proxy of this
// proxy's registry and tunnel: 0 gives NULL. False for a number of another
// kind or with method bits, or when the proxy cannot be made.
template <class P, class T>
bool ReadProxy(Transaction& transaction, ProxyBase* self, T** out)
{
    uint32_t number = 0;
    if (!transaction.Read32(&number))
        return false;
    if (number == 0) {
        *out = nullptr;
        return true;
    }
    if ((number & kMethodIndexMask) != 0 || KindOfNumber(number) != P::kKind || self->Registry() == nullptr)
        return false;
    *out = P::GetInstance(self->Registry(), self->Tunnel(), number);
    return *out != nullptr;
}

}  // namespace ZELK::PSESVC
