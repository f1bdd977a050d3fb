// Stand-ins for the GUI models that the tables show: a container of items
// with sort keys, verbs and states, and items that may name a configured
// application. Both call their viewers with the callback lock held, on the
// changing thread, as the real models do.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zelk_gui_model.h"
#include "zelk_object.h"
#include "zelk_strings.h"

namespace kestrin::app::test {

using ZELK::PSESVC::IGUIModel;
using ZELK::PSESVC::IGUIModelContainer;
using ZELK::PSESVC::IGUIModelItem;
using ZELK::PSESVC::IGUIModelSelectedApps;
using ZELK::PSESVC::IGUIRefreshCB;
using ZELK::PSESVC::IGUIVerb;
using ZELK::PSESVC::IGUIVerbs;

// The viewers of one model: (callback, key) pairs, and how often each was
// registered.
class Viewers {
public:
    HRESULT Register(IGUIRefreshCB* cb, unsigned long key)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_registrations;
        for (const auto& [own, ownKey] : m_keys)
            if (own == cb && ownKey == key)
                return S_FALSE;
        m_keys.emplace(cb, key);
        return S_OK;
    }
    HRESULT Unregister(IGUIRefreshCB* cb, unsigned long key)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_keys.begin(); it != m_keys.end(); ++it)
            if (it->first == cb && it->second == key) {
                m_keys.erase(it);
                return S_OK;
            }
        return S_FALSE;
    }
    void Notify()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [cb, key] : m_keys)
            cb->RefreshCB(key);
    }
    std::vector<unsigned long> Keys()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<unsigned long> keys;
        for (const auto& entry : m_keys)
            keys.push_back(entry.second);
        return keys;
    }
    int Registrations()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_registrations;
    }

private:
    std::mutex m_mutex;
    std::multimap<IGUIRefreshCB*, unsigned long> m_keys;
    int m_registrations = 0;
};

// What the verbs ran, in order.
struct VerbLog {
    std::mutex mutex;
    std::vector<std::string> ran;
    void Add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ran.push_back(what);
    }
    std::vector<std::string> Ran()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ran;
    }
};

class FakeVerb : public IGUIVerb, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeVerb)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIVerb, IGUIVerb)
    ZELK_END_INTMAP()

    const char* GetVerbName() override { return name.c_str(); }
    const char* GetVerbDisplayName() override { return display.c_str(); }
    HRESULT DoVerb(ZELK::PSESVC::ICredUI* dialog) override
    {
        if (action)
            action(dialog);
        if (log)
            log->Add(tag);
        return S_OK;
    }
    HRESULT SetState(uint32_t value) override
    {
        state = value;
        return S_OK;
    }
    uint32_t GetState() override { return state; }

    std::string name;
    std::string display;
    std::string tag;
    std::atomic<uint32_t> state {0};
    VerbLog* log = nullptr;
    std::function<void(ZELK::PSESVC::ICredUI*)> action;
};

class FakeItem : public IGUIModelItem, public IGUIVerbs, public IGUIModelSelectedApps, public CComObjectRoot {
public:
    HRESULT _InternalQueryInterface(const GUID& iid, void** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IGUIModel || iid == IID_IGUIModelItem)
            *out = static_cast<IGUIModelItem*>(this);
        else if (iid == IID_IGUIVerbs && hasVerbs)
            *out = static_cast<IGUIVerbs*>(this);
        else if (iid == IID_IGUIModelSelectedApps && hasApps)
            *out = static_cast<IGUIModelSelectedApps*>(this);
        if (*out == nullptr)
            return E_NOINTERFACE;
        InternalAddRef();
        return S_OK;
    }
    ~FakeItem() override
    {
        for (IGUIVerb* verb : verbs)
            verb->Release();
    }

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Register(cb, key); }
    HRESULT UnRegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Unregister(cb, key); }
    HRESULT GetItemInfo(ZELK::PSESVC::IGUIItem_Icon* icon, char** out) override
    {
        if (icon)
            *icon = picture;
        if (out == nullptr)
            return S_OK;
        std::lock_guard<std::mutex> lock(mutex);
        return hasText ? String_Copy(text.c_str(), out) : S_OK;
    }
    const char* ItemGetKey() override { return sortKey.c_str(); }
    int ItemCompare(IGUIModelItem* other) override
    {
        ++compares;
        return other ? String_Compare(sortKey.c_str(), other->ItemGetKey()) : 1;
    }

    uint64_t GetVerbCount() override { return verbs.size(); }
    HRESULT GetVerb(unsigned long index, IGUIVerb** out) override
    {
        if (index >= verbs.size())
            return E_FAIL;
        *out = verbs[index];
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT SetVerbs(unsigned long, IGUIVerb**) override { return E_NOTIMPL; }
    HRESULT AddVerbs(unsigned long, IGUIVerb**) override { return E_NOTIMPL; }

    const char* GetSelectedApp(unsigned long index) override { return index == 0 && selected ? "/" : nullptr; }

    FakeVerb* AddVerb(const char* name, uint32_t state, VerbLog* log = nullptr, const std::string& tag = "")
    {
        CComObject<FakeVerb>* verb = nullptr;
        CComObject<FakeVerb>::CreateInstance(&verb);
        verb->AddRef();
        verb->name = name;
        verb->display = std::string("Do ") + name;
        verb->state = state;
        verb->log = log;
        verb->tag = tag.empty() ? sortKey + ":" + name : tag;
        verbs.push_back(verb);
        return verb;
    }
    long Drop() { return static_cast<IGUIModelItem*>(this)->Release(); }
    void SetText(const std::string& value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        text = value;
    }

    std::mutex mutex;
    std::string sortKey;
    ZELK::PSESVC::IGUIItem_Icon picture = ZELK::PSESVC::ICON_PROFILE_ACTIVE;
    std::string text;
    bool hasText = true;
    bool hasVerbs = true;
    bool hasApps = false;
    std::atomic<bool> selected {false};
    std::vector<IGUIVerb*> verbs;
    Viewers viewers;
    static inline std::atomic<long> compares {0};
};

// A new item (one reference for the caller).
inline CComObject<FakeItem>* NewItem(const std::string& key, const std::string& text = "")
{
    CComObject<FakeItem>* item = nullptr;
    CComObject<FakeItem>::CreateInstance(&item);
    item->AddRef();
    item->sortKey = key;
    item->text = text.empty() ? key : text;
    return item;
}

// The local server's row: an item that answers the local-server interface.
class FakeLocalServerItem : public ZELK::PSESVC::IGUIModelLocalServer, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeLocalServerItem)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, ZELK::PSESVC::IGUIModelLocalServer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, ZELK::PSESVC::IGUIModelLocalServer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelLocalServer, ZELK::PSESVC::IGUIModelLocalServer)
    ZELK_END_INTMAP()

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Register(cb, key); }
    HRESULT UnRegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Unregister(cb, key); }
    HRESULT GetItemInfo(ZELK::PSESVC::IGUIItem_Icon* icon, char** out) override
    {
        if (icon)
            *icon = ZELK::PSESVC::ICON_LOCALSERVER_ACTIVE;
        return out != nullptr ? String_Copy("Local web server\nPort: 44300", out) : S_OK;
    }
    const char* ItemGetKey() override { return "900/Hearthgate"; }
    int ItemCompare(IGUIModelItem* other) override
    {
        return other ? String_Compare(ItemGetKey(), other->ItemGetKey()) : 1;
    }
    const Certificate* GetCert() override { return nullptr; }
    unsigned short GetPort() override { return 44300; }
    const wchar_t* GetMessage() override { return nullptr; }
    bool IsWarning() override { return false; }

    Viewers viewers;
};

// A plain element that is no item.
class NotAnItem : public IGUIModel, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(NotAnItem)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModel)
    ZELK_END_INTMAP()

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB*, unsigned long) override { return S_OK; }
    HRESULT UnRegisterCallback(IGUIRefreshCB*, unsigned long) override { return S_OK; }
};

class FakeContainer : public IGUIModelContainer, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeContainer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelContainer, IGUIModelContainer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelContainer)
    ZELK_END_INTMAP()

    ~FakeContainer() override { Clear(); }

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Register(cb, key); }
    HRESULT UnRegisterCallback(IGUIRefreshCB* cb, unsigned long key) override { return viewers.Unregister(cb, key); }
    uint64_t GetElementCount() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return elements.size();
    }
    HRESULT GetElement(unsigned long index, const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex);
        if (index >= elements.size())
            return E_INVALIDARG;
        return elements[index]->QueryInterface(iid, out);
    }
    int Contains(IUnknown*) override { return 0; }

    // Takes a reference.
    void Add(IUnknown* element, bool notify = true)
    {
        element->AddRef();
        {
            std::lock_guard<std::mutex> lock(mutex);
            elements.push_back(element);
        }
        if (notify)
            viewers.Notify();
    }
    void RemoveAt(size_t index)
    {
        IUnknown* element;
        {
            std::lock_guard<std::mutex> lock(mutex);
            element = elements.at(index);
            elements.erase(elements.begin() + static_cast<long>(index));
        }
        element->Release();
        viewers.Notify();
    }
    void Clear()
    {
        std::vector<IUnknown*> old;
        {
            std::lock_guard<std::mutex> lock(mutex);
            old.swap(elements);
        }
        for (IUnknown* element : old)
            element->Release();
    }

    std::mutex mutex;
    std::vector<IUnknown*> elements;
    Viewers viewers;
};

inline CComObject<FakeContainer>* NewContainer()
{
    CComObject<FakeContainer>* container = nullptr;
    CComObject<FakeContainer>::CreateInstance(&container);
    container->AddRef();
    return container;
}

}  // namespace kestrin::app::test
