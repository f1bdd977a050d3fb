// One preference file ("settings.plist" in one folder): its in-memory tree, its
// atomic, lock-protected saves, the watch of its folder and the listeners that
// are told of changes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "change_watcher.h"
#include "key_path.h"
#include "plist_tree.h"
#include "zelk_sync.h"

namespace kestrin::policy {

inline constexpr const char* kPlistFileName = "settings.plist";
inline constexpr const char* kPlistLockName = ".settings.plist.lock";
// Temporary files of a save older than this are left over from a process that
// stopped mid-save; a live save renames its own within moments.
inline constexpr int kStaleTemporarySeconds = 60;

// Final: the folder watch calls into the object until its destructor has
// removed the watch, so no derived part may be destroyed before that.
class PlistRoot final : public FolderWatchTarget {
public:
    struct Options {
        std::string folder;
        mode_t folderMode = 0700;
        mode_t fileMode = 0600;
        // The user's file is created (empty) when missing; the system file, which
        // an administrator provides, never is.
        bool createOnLoad = true;
    };

    // `onOutsideChange` is called on the watcher's thread after an outside
    // change was loaded, before the listeners are told (for tracing).
    explicit PlistRoot(Options options, std::function<void()> onOutsideChange = {});
    // Removes the folder watch first and waits for a delivery in progress.
    ~PlistRoot();
    PlistRoot(const PlistRoot&) = delete;
    PlistRoot& operator=(const PlistRoot&) = delete;

    const std::string& Folder() const { return m_options.folder; }
    const std::string& FilePath() const { return m_file; }

    // Loads the tree once; later calls return at once. A missing file is an
    // empty tree; a file that cannot be read or parsed is never replaced.
    HRESULT Load();

    // Reads: 0x80004005 for a missing entry, an entry of another kind, or a path
    // that does not lead to a dictionary.
    HRESULT GetString(const KeyPath& path, const char* name, std::string* value);
    HRESULT GetNumber(const KeyPath& path, const char* name, uint32_t* value);
    HRESULT GetBinary(const KeyPath& path, const char* name, std::string* value);
    bool IsConfigured(const KeyPath& path, const char* name);
    bool SubKeyAt(const KeyPath& path, long index, std::string* name);

    // Writes. Under the exclusive lock file: another process's newer file is
    // loaded first, the change applied to a copy, the copy saved, and only a
    // saved tree replaces the one in memory. A value of NULL removes the entry.
    // 0x80004005 when nothing could be stored (a path through a value, a corrupt
    // file); the save's failure when the file could not be written.
    HRESULT SetValue(const KeyPath& path, const char* name, PlistPtr value);
    // Removes a value or a sub-key with everything below it; 0 when the key does
    // not exist.
    HRESULT DeleteSubkey(const KeyPath& path, const char* name);

    // Listeners. Each owner has at most one callback of its own (replaced by a
    // later one, removed with NULL) and any number of added signals.
    void SetCallback(const void* owner, const KeyPath& path, ZELK::ISignal* signal);
    void AddSignal(const void* owner, const KeyPath& path, ZELK::ISignal* signal);
    void RemoveSignal(const void* owner, ZELK::ISignal* signal);
    void SetOwnerPath(const void* owner, const KeyPath& path);
    // Forgets the owner; when it returns, none of its signals is being called.
    void RemoveOwner(const void* owner);

    void OnFolderChanged() override;

    // Tells every listener, as after an outside change; for tests of the walk.
    void SignalAll();

private:
    struct Listener {
        uint64_t id;
        const void* owner;
        KeyPath path;
        ZELK::ISignal* signal;
        bool own;  // the owner's one callback
    };

    HRESULT LoadLocked();
    // The tree is never changed in place, only replaced: the dictionaries
    // found by key path hold until then.
    void ReplaceTreeLocked(PlistPtr tree);
    // The dictionary at `path` in the tree, NULL when there is none.
    plist_t DictLocked(const KeyPath& path);
    HRESULT SaveLocked(plist_t tree, std::string* bytes);
    // Brings the tree up to the file on disk under the lock file; `reloaded`
    // tells whether the file had changed.
    HRESULT RefreshLocked(bool* reloaded);
    HRESULT Modify(const std::function<HRESULT(plist_t top)>& change, bool* saved);
    void Fire(const KeyPath* changed, size_t created);
    void StartWatch();
    void OnOutsideChange();

    Options m_options;
    std::function<void()> m_onOutsideChange;
    std::string m_file;
    std::string m_lockFile;

    std::mutex m_lock;  // tree, last bytes, flags
    PlistPtr m_tree;
    // Reads look up dictionaries by path here (its components each ended by
    // a NUL), not by walking each key of a large dictionary (one of many
    // profiles) again.
    std::unordered_map<std::string, plist_t> m_dicts;
    bool m_loaded = false;
    bool m_corrupt = false;
    std::optional<std::string> m_lastBytes;  // the file as last read or saved; none when there was no file

    std::recursive_mutex m_listenerLock;  // held while signalling, so removal waits for a call in progress
    std::vector<Listener> m_listeners;
    uint64_t m_nextListener = 1;

    std::mutex m_watchLock;
    bool m_watchTried = false;
    uint64_t m_watch = 0;
};

}  // namespace kestrin::policy
