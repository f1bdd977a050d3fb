// Exact transfers on stream sockets: every byte or a clear failure. Partial
// transfers and interrupted calls are continued; sends never raise SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace ZELK::PSESVC::COMSOCK {

// The peer closed before the first byte of a read.
constexpr HRESULT COMSOCK_CLOSED = 1;
// The socket's receive time-out ran out before the first byte of a read.
constexpr HRESULT COMSOCK_TIMEOUT = ZELK_RC(0x800705B4);

// Reads exactly `length` bytes: 0; 1 when the peer closed before any byte
// arrived; 0x800705B4 when the receive time-out ran out before any byte;
// 0x80000007 when it closed part-way or the socket failed or timed out.
HRESULT ReadExact(int fd, void* buffer, size_t length);

// Writes all `length` bytes: 0, or 0x80004005 when the socket fails.
HRESULT WriteExact(int fd, const void* buffer, size_t length);

// Writes the two parts as one exact transfer (a frame's header and body).
HRESULT WriteExact2(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength);

// Milliseconds on the monotonic clock, the scale of the deadlines below.
int64_t NowMs();

// Reads exactly `length` bytes before `deadline`, never blocking past it:
// 0; 1 when the peer closed before any byte arrived; 0x800705B4 when the
// deadline passed before any byte; 0x80000007 when the peer closed part-way,
// the deadline passed part-way or the socket failed.
HRESULT ReadBy(int fd, void* buffer, size_t length, int64_t deadline);

// Receives what has arrived, up to `length` bytes, after waiting for the
// first byte until `deadline`, or with a `deadline` of 0 as long as the
// socket's receive time-out allows: the count; 0 when the peer closed; -1
// when the wait ran out or the socket failed.
ssize_t ReceiveSome(int fd, void* buffer, size_t length, int64_t deadline);

// Writes both parts whole before `deadline`, never blocking past it: 0, or
// 0x80004005 when the socket fails or the peer does not take them in time.
HRESULT WriteBy(int fd, const void* first, size_t firstLength, const void* second, size_t secondLength,
                int64_t deadline);

// Closes the descriptor, keeping errno; nothing for -1.
void CloseFd(int fd);

}  // namespace ZELK::PSESVC::COMSOCK
