// One accepted socket as its pool thread serves it: the time limits it must
// keep, and whether it waits for its client with nothing begun (before its
// first message, or between two), so that the pool may close it to make
// room. Only the serving thread closes the socket; the pool wakes it.
#pragma once

#include <atomic>
#include <cstdint>

#include "comsock_io.h"

namespace ZELK::PSESVC::COMSOCK {

// A new connection's first message (the handshake) must arrive whole within
// this time after the connect.
constexpr int kHandshakeDeadlineMs = 10 * 1000;
// Once the first byte of a message has arrived, the whole message must
// arrive (and its reply must be taken) within this time.
constexpr int kFrameDeadlineMs = 30 * 1000;
// A connection silent this long between two messages is closed.
constexpr int kIdleTimeoutMs = 300 * 1000;

struct ServeLimits {
    int handshakeMs = kHandshakeDeadlineMs;
    int frameMs = kFrameDeadlineMs;
    int idleMs = kIdleTimeoutMs;
};

class Served {
public:
    Served(int socket, const ServeLimits& given, int64_t acceptedAt)
        : fd(socket), limits(given), accepted(acceptedAt), m_since(acceptedAt)
    {}

    // Waiting for the client from now on.
    void Idle() { m_since.store(NowMs(), std::memory_order_relaxed); }
    // The client has begun a message: no longer to be closed for room. False
    // when the pool has claimed the connection first; it is then to be closed
    // unread.
    bool Claim()
    {
        int64_t since = m_since.load(std::memory_order_relaxed);
        return since != kEvicted && m_since.compare_exchange_strong(since, kBusy);
    }
    // Since when the connection waits, or -1 while a message is under way.
    int64_t IdleSince() const
    {
        int64_t since = m_since.load(std::memory_order_relaxed);
        return since < 0 ? -1 : since;
    }
    // The pool's claim: true when the connection was still waiting (since
    // `since`), and is now to be closed by its thread.
    bool Evict(int64_t since) { return since >= 0 && m_since.compare_exchange_strong(since, kEvicted); }
    bool Evicted() const { return m_since.load(std::memory_order_relaxed) == kEvicted; }

    const int fd;
    const ServeLimits limits;
    // NowMs() when the connection was accepted.
    const int64_t accepted;

private:
    static constexpr int64_t kBusy = -1;
    static constexpr int64_t kEvicted = -2;
    std::atomic<int64_t> m_since;
};

}  // namespace ZELK::PSESVC::COMSOCK
