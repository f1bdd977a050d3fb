#include "plist_root.h"

#include <algorithm>

#include "file_io.h"

namespace kestrin::policy {
namespace {

// Paths a program reads are few (one per profile and setting group); past
// this many the cache starts again, so arbitrary paths cannot make it grow.
constexpr size_t kMaxCachedDicts = 4096;

}  // namespace

PlistRoot::PlistRoot(Options options, std::function<void()> onOutsideChange)
    : m_options(std::move(options))
    , m_onOutsideChange(std::move(onOutsideChange))
    , m_file(m_options.folder + "/" + kPlistFileName)
    , m_lockFile(m_options.folder + "/" + kPlistLockName)
{}

PlistRoot::~PlistRoot()
{
    uint64_t watch;
    {
        std::lock_guard<std::mutex> guard(m_watchLock);
        watch = m_watch;
        m_watch = 0;
    }
    if (watch)
        change_watcher::RemoveWatch(watch);
}

void PlistRoot::OnOutsideChange()
{
    if (m_onOutsideChange)
        m_onOutsideChange();
}

void PlistRoot::StartWatch()
{
    std::lock_guard<std::mutex> guard(m_watchLock);
    if (m_watchTried)
        return;
    m_watchTried = true;
    change_watcher::AddWatch(m_options.folder, kPlistFileName, this, &m_watch);
}

HRESULT PlistRoot::Load()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return LoadLocked();
}

HRESULT PlistRoot::LoadLocked()
{
    if (m_loaded)
        return S_OK;
    m_loaded = true;
    ReplaceTreeLocked(NewDict());
    if (!m_tree)
        return E_OUTOFMEMORY;
    if (m_options.createOnLoad)
        MakeFolders(m_options.folder, m_options.folderMode);
    // Watching before reading leaves no gap in which a change could be missed.
    StartWatch();
    bool reloaded = false;
    HRESULT hr = RefreshLocked(&reloaded);
    if (FAILED(hr)) {
        // Unreadable or unparsable: served as empty, and never overwritten.
        m_corrupt = true;
        return hr;
    }
    if (m_lastBytes || !m_options.createOnLoad)
        return S_OK;
    // No file yet: the user's is created empty, under the lock file, unless
    // another process has just made one.
    FileLock lock;
    if (FAILED(lock.Lock(m_lockFile, true)))
        return S_OK;
    hr = RefreshLocked(&reloaded);
    if (FAILED(hr) || m_lastBytes)
        return S_OK;
    std::string bytes;
    SaveLocked(m_tree.get(), &bytes);
    return S_OK;
}

void PlistRoot::ReplaceTreeLocked(PlistPtr tree)
{
    m_dicts.clear();
    m_tree = std::move(tree);
}

plist_t PlistRoot::DictLocked(const KeyPath& path)
{
    std::string key;
    for (const std::string& part : path) {
        key += part;
        key.push_back('\0');
    }
    auto found = m_dicts.find(key);
    if (found != m_dicts.end())
        return found->second;
    plist_t dict = WalkDict(m_tree.get(), path, false, nullptr);
    if (m_dicts.size() >= kMaxCachedDicts)
        m_dicts.clear();
    m_dicts.emplace(std::move(key), dict);
    return dict;
}

HRESULT PlistRoot::SaveLocked(plist_t tree, std::string* bytes)
{
    HRESULT hr = PlistToXml(tree, bytes);
    if (FAILED(hr))
        return hr;
    RemoveStaleTemporaries(m_file, kStaleTemporarySeconds);
    hr = AtomicWrite(m_file, *bytes, m_options.fileMode);
    if (FAILED(hr))
        return hr;
    m_lastBytes = *bytes;
    m_corrupt = false;
    return S_OK;
}

HRESULT PlistRoot::RefreshLocked(bool* reloaded)
{
    *reloaded = false;
    std::string bytes;
    HRESULT hr = ReadWholeFile(m_file, &bytes);
    if (hr == S_FALSE) {
        if (m_lastBytes || m_corrupt) {
            PlistPtr empty = NewDict();
            if (!empty)
                return E_OUTOFMEMORY;
            *reloaded = m_lastBytes && !m_corrupt;
            ReplaceTreeLocked(std::move(empty));
            m_lastBytes.reset();
            m_corrupt = false;
        }
        return S_OK;
    }
    if (FAILED(hr))
        return hr;
    if (m_lastBytes && *m_lastBytes == bytes)
        return m_corrupt ? E_FAIL : S_OK;
    PlistPtr tree;
    m_lastBytes = bytes;
    if (FAILED(ParsePlist(bytes, &tree))) {
        // The last good tree keeps serving reads; nothing may overwrite the file.
        m_corrupt = true;
        return E_FAIL;
    }
    ReplaceTreeLocked(std::move(tree));
    m_corrupt = false;
    *reloaded = true;
    return S_OK;
}

HRESULT PlistRoot::GetString(const KeyPath& path, const char* name, std::string* value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LoadLocked();
    plist_t entry = FindEntry(DictLocked(path), name);
    return ReadText(entry, value) ? S_OK : E_FAIL;
}

HRESULT PlistRoot::GetNumber(const KeyPath& path, const char* name, uint32_t* value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LoadLocked();
    plist_t entry = FindEntry(DictLocked(path), name);
    return ReadNumber(entry, value) ? S_OK : E_FAIL;
}

HRESULT PlistRoot::GetBinary(const KeyPath& path, const char* name, std::string* value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LoadLocked();
    plist_t entry = FindEntry(DictLocked(path), name);
    return ReadData(entry, value) ? S_OK : E_FAIL;
}

bool PlistRoot::IsConfigured(const KeyPath& path, const char* name)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LoadLocked();
    plist_t entry = FindEntry(DictLocked(path), name);
    return entry && plist_get_node_type(entry) != PLIST_DICT;
}

bool PlistRoot::SubKeyAt(const KeyPath& path, long index, std::string* name)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LoadLocked();
    return kestrin::policy::SubKeyAt(DictLocked(path), index, name);
}

// Applies `change` to a copy of the current tree and saves it, all under the
// lock file, after loading whatever another process saved since our last look.
// `change` answers 1 when it had nothing to change (no save then). Only a saved
// tree replaces the one in memory, so memory and disk never disagree.
HRESULT PlistRoot::Modify(const std::function<HRESULT(plist_t top)>& change, bool* saved)
{
    *saved = false;
    bool reloaded = false;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        LoadLocked();
        MakeFolders(m_options.folder, m_options.folderMode);
        FileLock lock;
        hr = lock.Lock(m_lockFile, true);
        if (SUCCEEDED(hr))
            hr = RefreshLocked(&reloaded);
        if (SUCCEEDED(hr)) {
            PlistPtr copy = CopyTree(m_tree.get());
            hr = copy ? change(copy.get()) : E_OUTOFMEMORY;
            if (hr == S_OK) {
                std::string bytes;
                hr = SaveLocked(copy.get(), &bytes);
                if (SUCCEEDED(hr)) {
                    ReplaceTreeLocked(std::move(copy));
                    *saved = true;
                }
            } else if (hr == S_FALSE) {
                hr = S_OK;
            }
        }
    }
    if (reloaded) {
        // Another process's change, merged here, no longer reaches the watcher
        // (the file now holds our save): everybody is told now, once, and that
        // covers this write too.
        OnOutsideChange();
        SignalAll();
        *saved = false;
    }
    return hr;
}

HRESULT PlistRoot::SetValue(const KeyPath& path, const char* name, PlistPtr value)
{
    if (!name)
        return E_INVALIDARG;
    plist_t raw = value.get();
    // A character that XML does not allow would make the whole file unreadable
    // to every standard reader: such a name or text is refused before anything
    // is stored.
    std::string text;
    if (raw && (!IsXmlText(name) || (ReadText(raw, &text) && !IsXmlText(text.c_str()))))
        return E_INVALIDARG;
    size_t created = 0;
    bool saved = false;
    HRESULT hr = Modify(
        [&](plist_t top) -> HRESULT {
            if (raw && !WalkDict(top, path, false, nullptr)
                && !std::all_of(path.begin(), path.end(), [](const std::string& c) { return IsXmlText(c.c_str()); }))
                return E_INVALIDARG;
            plist_t dict = WalkDict(top, path, raw != nullptr, &created);
            if (!dict)
                return raw ? E_FAIL : S_FALSE;
            if (!raw)
                return RemoveEntry(dict, name) ? S_OK : S_FALSE;
            PlistPtr copy = CopyTree(raw);
            if (!copy)
                return E_OUTOFMEMORY;
            SetEntry(dict, name, std::move(copy));
            return S_OK;
        },
        &saved);
    if (saved)
        Fire(&path, created);
    return hr;
}

HRESULT PlistRoot::DeleteSubkey(const KeyPath& path, const char* name)
{
    if (!name)
        return E_INVALIDARG;
    bool saved = false;
    HRESULT hr = Modify(
        [&](plist_t top) -> HRESULT {
            plist_t dict = WalkDict(top, path, false, nullptr);
            return dict && RemoveEntry(dict, name) ? S_OK : S_FALSE;
        },
        &saved);
    if (saved) {
        Fire(&path, 0);
        KeyPath child = path;
        child.emplace_back(name);
        Fire(&child, 0);
    }
    return hr;
}

void PlistRoot::OnFolderChanged()
{
    bool reloaded = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_loaded)
            return;
        RefreshLocked(&reloaded);
    }
    if (!reloaded)
        return;
    OnOutsideChange();
    SignalAll();
}

void PlistRoot::SetCallback(const void* owner, const KeyPath& path, ZELK::ISignal* signal)
{
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    auto own = std::find_if(m_listeners.begin(), m_listeners.end(),
                            [&](const Listener& l) { return l.owner == owner && l.own; });
    if (own != m_listeners.end()) {
        if (signal) {
            own->signal = signal;
            own->path = path;
            return;
        }
        m_listeners.erase(own);
        return;
    }
    if (signal)
        m_listeners.push_back({m_nextListener++, owner, path, signal, true});
}

void PlistRoot::AddSignal(const void* owner, const KeyPath& path, ZELK::ISignal* signal)
{
    if (!signal)
        return;
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    for (const Listener& l : m_listeners) {
        if (l.owner == owner && !l.own && l.signal == signal)
            return;
    }
    m_listeners.push_back({m_nextListener++, owner, path, signal, false});
}

void PlistRoot::RemoveSignal(const void* owner, ZELK::ISignal* signal)
{
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    std::erase_if(m_listeners, [&](const Listener& l) { return l.owner == owner && !l.own && l.signal == signal; });
}

void PlistRoot::SetOwnerPath(const void* owner, const KeyPath& path)
{
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    for (Listener& l : m_listeners) {
        if (l.owner == owner)
            l.path = path;
    }
}

void PlistRoot::RemoveOwner(const void* owner)
{
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    std::erase_if(m_listeners, [&](const Listener& l) { return l.owner == owner; });
}

void PlistRoot::SignalAll()
{
    Fire(nullptr, 0);
}

void PlistRoot::Fire(const KeyPath* changed, size_t created)
{
    // The lock stays held, so another thread's removal waits for the walk; a
    // signal that removes listeners on this thread is caught by the re-check.
    std::lock_guard<std::recursive_mutex> guard(m_listenerLock);
    std::vector<std::pair<uint64_t, ZELK::ISignal*>> due;
    for (const Listener& l : m_listeners) {
        if (!changed || IsEqualPath(l.path, *changed, created))
            due.emplace_back(l.id, l.signal);
    }
    for (const auto& entry : due) {
        uint64_t id = entry.first;
        bool present =
            std::any_of(m_listeners.begin(), m_listeners.end(), [id](const Listener& l) { return l.id == id; });
        if (present)
            entry.second->Signal();
    }
}

}  // namespace kestrin::policy
