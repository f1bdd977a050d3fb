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
    return m_revision.load(std::memory_order_acquire);
}

HRESULT CGUIModelBase::NextRevision()
{
    {
        CriticalCodeSection lock(&m_csRevision);
        m_revision.fetch_add(1, std::memory_order_acq_rel);
    }
    CriticalCodeSection lock(&m_csCallbacks);
    ++m_rounds;
    // The count is read again before each call: a callback may register.
    for (uint64_t i = 0; i < m_count; ++i) {
        if (m_callbacks[i] != nullptr)
            m_callbacks[i]->RefreshCB(static_cast<unsigned long>(m_keys[i]));
    }
    if (--m_rounds == 0 && m_removed)
        Compact();
    return S_OK;
}

HRESULT CGUIModelBase::RegisterCallback(IGUIRefreshCB* callback, unsigned long key)
{
    if (callback == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csCallbacks);
    for (uint64_t i = 0; i < m_count; ++i)
        if (m_callbacks[i] == callback && m_keys[i] == key)
            return S_FALSE;
    // A larger first array is harmless when the second cannot grow.
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
    if (callback == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csCallbacks);
    for (uint64_t i = 0; i < m_count; ++i) {
        if (m_callbacks[i] == callback && m_keys[i] == key) {
            m_callbacks[i] = nullptr;
            m_removed = true;
            if (m_rounds == 0)
                Compact();
            return S_OK;
        }
    }
    return S_FALSE;
}

void CGUIModelBase::Compact()
{
    uint64_t kept = 0;
    for (uint64_t i = 0; i < m_count; ++i) {
        if (m_callbacks[i] == nullptr)
            continue;
        m_callbacks[kept] = m_callbacks[i];
        m_keys[kept] = m_keys[i];
        ++kept;
    }
    m_count = kept;
    m_removed = false;
}

HRESULT CGUIModelItemBase::GetItemInfo(IGUIItem_Icon* icon, char** text)
{
    CriticalCodeSection lock(GetCriticalSection());
    if (m_infoRevision != GetRevision())
        RefreshItemInfo();
    if (icon != nullptr)
        *icon = m_icon;
    if (text != nullptr)
        String_Copy(static_cast<const char*>(m_text), text);
    return S_OK;
}

const char* CGUIModelItemBase::ItemGetKey()
{
    CriticalCodeSection lock(GetCriticalSection());
    if (!HasSortKey())
        RefreshItemInfo();
    // The first non-empty key is never replaced, so the pointer stays valid.
    return HasSortKey() ? static_cast<const char*>(m_key) : "";
}

int CGUIModelItemBase::ItemCompare(IGUIModelItem* other)
{
    if (other == nullptr)
        return 1;
    const char* own = ItemGetKey();
    return String_Compare(own, other->ItemGetKey());
}

void CGUIModelItemBase::SetItemInfo(IGUIItem_Icon icon, const char* text)
{
    m_icon = icon;
    m_text = text;
}

void CGUIModelItemBase::SetSortKeyOnce(const char* key)
{
    if (!HasSortKey())
        m_key = key;
}

}  // namespace ZELK::PSESVC
