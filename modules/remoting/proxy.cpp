#include "proxy.h"

#include <algorithm>
#include <cstring>

#include "zelk_alloc.h"

namespace ZELK::PSESVC {

ZELK::CriticalSection ProxyBase::s_cs;

StringCache::~StringCache()
{
    sec_free(text);
}

ProxyBase::~ProxyBase()
{
    if (ITunnel* tunnel = m_tunnel.exchange(nullptr))
        tunnel->Release();
    for (ITunnel* retired : m_retired)
        retired->Release();
    if (m_registry != nullptr)
        m_registry->Release();
}

HRESULT ProxyBase::QueryInterface(const GUID&, void** out)
{
    if (out != nullptr)
        *out = nullptr;
    return E_NOINTERFACE;
}

long ProxyBase::AddRef()
{
    ZELK::CriticalCodeSection lock(&s_cs);
    return static_cast<long>(++m_refs);
}

long ProxyBase::Release()
{
    ZELK_PTR(ITunnel) tunnel;
    uint32_t number = 0;
    {
        ZELK::CriticalCodeSection lock(&s_cs);
        if (--m_refs != 0)
            return static_cast<long>(m_refs);
        tunnel = Tunnel();
        number = m_number;
        if (m_registry != nullptr)
            m_registry->UnRegister(this);
        delete this;
    }
    if (tunnel != nullptr) {
        Transaction release;
        release.Init(number, METHOD_RELEASE);
        release.Execute(tunnel);
    }
    return 0;
}

const char* ProxyBase::getType()
{
    return "ProxyBase";
}

HRESULT ProxyBase::print(char**, const char*, PRINT_CTX*)
{
    return S_OK;
}

void ProxyBase::SetTunnel(ITunnel* tunnel)
{
    if (tunnel != nullptr)
        tunnel->AddRef();
    std::lock_guard<std::mutex> lock(m_tunnelLock);
    ITunnel* old = m_tunnel.exchange(tunnel, std::memory_order_acq_rel);
    if (old != nullptr)
        m_retired.push_back(old);
}

HRESULT ProxyBase::Reset()
{
    return m_registry != nullptr ? m_registry->Reset() : S_OK;
}

HRESULT ProxyBase::Execute(Transaction* transaction)
{
    return ExecuteOn(transaction, Tunnel());
}

HRESULT ProxyBase::ExecuteOn(Transaction* transaction, ITunnel* tunnel)
{
    if (m_broken)
        return E_BROKEN_PIPE;
    HRESULT hr = transaction->Execute(tunnel);
    if (hr >= 0) {
        if (m_registry != nullptr)
            m_registry->NoteCarried();
        return hr;
    }
    // The socket client that lost its session answers -1 for ever; once its
    // connection had carried this registry's calls, that is a broken tunnel.
    if (hr == -1 && m_registry != nullptr && m_registry->Carried())
        hr = E_BROKEN_PIPE;
    if (hr == E_BROKEN_PIPE && Tunnel() == tunnel)
        Reset();
    return hr;
}

HRESULT ProxyBase::getStaticString(Method m, StringCache& cache, const char** out)
{
    std::lock_guard<std::mutex> lock(cache.lock);
    HRESULT hr = S_OK;
    if (cache.text == nullptr) {
        if (out != nullptr)
            *out = nullptr;
        Transaction transaction;
        transaction.Init(m_number, m);
        hr = transaction.Execute(Tunnel());
        if (hr < 0)
            return hr;
        const char* text = nullptr;
        if (!transaction.ReadRC(&hr) || !transaction.ReadString(&text))
            return E_FAIL;
        if (text != nullptr) {
            size_t n = std::strlen(text) + 1;
            cache.text = static_cast<char*>(sec_malloc(n));
            if (cache.text == nullptr)
                return E_FAIL;
            std::memcpy(cache.text, text, n);
        }
    }
    if (out != nullptr)
        *out = cache.text;
    return hr;
}

ProxyReg* ProxyReg::New()
{
    return new (std::nothrow) ProxyReg();
}

void ProxyReg::AddRef()
{
    ++m_refs;
}

void ProxyReg::Release()
{
    if (--m_refs == 0)
        delete this;
}

HRESULT ProxyReg::Register(ProxyBase* proxy, ITunnel* tunnel, uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    AddRef();
    proxy->m_registry = this;
    proxy->SetTunnel(tunnel);
    proxy->m_number = id;
    m_live.push_back(proxy);
    return S_OK;
}

ProxyBase* ProxyReg::Search(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (ProxyBase* proxy : m_live) {
        if (proxy->m_number == id)
            return proxy;
    }
    return nullptr;
}

HRESULT ProxyReg::UnRegister(ProxyBase* proxy)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = std::find(m_live.begin(), m_live.end(), proxy);
    if (it != m_live.end())
        m_live.erase(it);
    return S_OK;
}

HRESULT ProxyReg::Reset()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_live.empty())
        return S_OK;
    for (ProxyBase* proxy : m_live)
        proxy->m_broken = true;
    m_live.resize(1);
    return S_OK;
}

}  // namespace ZELK::PSESVC
