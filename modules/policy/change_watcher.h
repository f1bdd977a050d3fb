// The policy event thread: one inotify watch per watched folder, events for the
// watched file coalesced over about one second, each folder's target told once
// per coalesced burst, all on one thread. The thread runs while at least one
// watch exists; the last removal stops it and the next watch starts it afresh.
#pragma once

#include <cstdint>
#include <string>

#include "zelk_result.h"

namespace kestrin::policy {

class FolderWatchTarget {
public:
    // Called on the policy event thread, never twice at once for one target.
    virtual void OnFolderChanged() = 0;

protected:
    ~FolderWatchTarget() = default;
};

namespace change_watcher {

constexpr int kCoalesceMilliseconds = 1000;

// Sets how long a burst of events is coalesced (kCoalesceMilliseconds unless
// a test shortens it).
void SetCoalesceMilliseconds(int milliseconds);

// Watches `folder` for changes of the file `fileName` inside it (its
// replacement, rewrite or removal). 0 and a handle; a failure when the folder
// cannot be watched (it does not exist, or inotify is unavailable).
HRESULT AddWatch(const std::string& folder, const std::string& fileName, FolderWatchTarget* target, uint64_t* handle);

// Ends a watch. When it returns, the target is not being called and will not be
// called again. Safe to call from the target's own callback.
void RemoveWatch(uint64_t handle);

// How many watches exist and whether the event thread runs (for tests).
size_t WatchCount();
bool ThreadRunning();

}  // namespace change_watcher

}  // namespace kestrin::policy
