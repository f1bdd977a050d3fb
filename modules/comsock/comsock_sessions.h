// The live sessions of a framed server: random non-zero ids, each naming the
// tunnel shared by every connection that presented it. A session belongs to
// the client process that made it: when its last connection ends (the
// client's threads ended, or a socket was closed for being idle) it waits for
// that process to connect again, and ends when the process ends; its id is
// then unknown. Sessions are bounded per process and in all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "zelk_result.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::COMSOCK {

// At most this many sessions per client process and in all; a new session
// beyond a bound ends the session that has waited longest, or is refused
// while none waits.
constexpr size_t kSessionsPerProcess = 64;
constexpr size_t kSessionsInAll = 4096;

struct SessionLimits {
    size_t perProcess = kSessionsPerProcess;
    size_t inAll = kSessionsInAll;
};

class SessionTable {
public:
    SessionTable();
    ~SessionTable();
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    void SetLimits(const SessionLimits& limits);

    // A new session of process `pid` (0: unknown, the session then ends with
    // its last connection) over `tunnel` (one reference taken), held once;
    // its id in *id. 1 when the bounds leave no room.
    HRESULT Add(ITunnel* tunnel, uint32_t pid, uint32_t* id);
    // Holds the live session `id` once more: 0 with its tunnel (one reference
    // for the caller), or 1 when no live session has that id.
    HRESULT Join(uint32_t id, ITunnel** tunnel);
    // Gives up one hold; the last one ends the session, unless its process
    // still runs: the session then waits for it.
    void Leave(uint32_t id);
    size_t Count();

    // Readable when a process that has sessions has ended; EndExited() then
    // ends its waiting sessions (the others end with their last connection).
    int WatchFd() const { return m_watch; }
    void EndExited();

    // A stopped server keeps no session for later: waiting sessions end now,
    // the others with their last connection. Open() keeps them again.
    void Close();
    void Open();

private:
    using Order = std::list<uint32_t>;
    struct Entry {
        ITunnel* tunnel;
        uint64_t holders;
        uint64_t process;  // the owning process's key, 0 when none is watched
        bool current;      // made since the last Open()
        bool waiting;
        Order::iterator inAll;      // in m_waiting while waiting
        Order::iterator inProcess;  // in its process's list while waiting
    };
    // A process is known by a key of its own, so that a later process with
    // the same id is another one.
    struct Process {
        uint32_t pid;
        int pidfd;  // -1 once it has ended
        size_t sessions;
        Order waiting;  // its waiting sessions, longest waiting first
    };
    using Ended = std::vector<ITunnel*>;

    uint64_t Watch(uint32_t pid, Ended& ended);
    void Gone(uint64_t key, Ended& ended);
    void Unwatch(uint64_t key);
    void End(uint32_t id, Ended& ended);
    void StopWaiting(Entry& entry);
    static void Release(Ended& ended);

    std::mutex m_lock;
    SessionLimits m_limits;
    std::unordered_map<uint32_t, Entry> m_sessions;
    std::unordered_map<uint64_t, Process> m_processes;
    std::unordered_map<uint32_t, uint64_t> m_running;  // process id -> key
    uint64_t m_nextKey = 1;
    Order m_waiting;  // every waiting session, longest waiting first
    int m_watch = -1;
    bool m_keep = true;
};

}  // namespace ZELK::PSESVC::COMSOCK
