#include "gui_model_base.h"

#include "zelk_alloc.h"

namespace ZELK::PSESVC {

CGUIModelBase::~CGUIModelBase()
{
    CriticalCodeSection revision(&m_csRevision);
    CriticalCodeSection callbacks(&m_csCallbacks);
    m_revision = 0;
    m_count = 0;
    sec_free(m_callbacks);
    sec_free(m_keys);
    m_callbacks = nullptr;
    m_keys = nullptr;
}

int64_t CGUIModelBase::GetRevision()
{
    return m_revision.load(std::memory_order_relaxed);
}

HRESULT CGUIModelBase::NextRevision()
{
    {
        CriticalCodeSection lock(&m_csRevision);
        m_revision.fetch_add(1, std::memory_order_relaxed);
    }
    CriticalCodeSection lock(&m_csCallbacks);
    // The count is read again before each call: a callback may unregister.
    for (uint64_t i = 0; i < m_count; ++i)
        m_callbacks[i]->RefreshCB(static_cast<unsigned long>(m_keys[i]));
    return S_OK;
}

HRESULT CGUIModelBase::RegisterCallback(IGUIRefreshCB* callback, unsigned long key)
{
    CriticalCodeSection lock(&m_csCallbacks);
    for (uint64_t i = 0; i < m_count; ++i)
        if (m_callbacks[i] == callback && m_keys[i] == key)
            return S_FALSE;
    auto* callbacks = static_cast<IGUIRefreshCB**>(sec_realloc(m_callbacks, (m_count + 1) * sizeof(IGUIRefreshCB*)));
    if (callbacks == nullptr)
        return E_OUTOFMEMORY;
    m_callbacks = callbacks;
    auto* keys = static_cast<uint64_t*>(sec_realloc(m_keys, (m_count + 1) * sizeof(uint64_t)));
    if (keys == nullptr)
        return E_OUTOFMEMORY;
    m_keys = keys;
    m_callbacks[m_count] = callback;
    m_keys[m_count] = key;
    ++m_count;
    return S_OK;
}

HRESULT CGUIModelBase::UnRegisterCallback(IGUIRefreshCB* callback, unsigned long key)
{
    CriticalCodeSection lock(&m_csCallbacks);
    for (uint64_t i = 0; i < m_count; ++i) {
        if (m_callbacks[i] == callback && m_keys[i] == key) {
            for (uint64_t j = i + 1; j < m_count; ++j) {
                m_callbacks[j - 1] = m_callbacks[j];
                m_keys[j - 1] = m_keys[j];
            }
            --m_count;
            return S_OK;
        }
    }
    return S_FALSE;
}

}  // namespace ZELK::PSESVC
