// Exact transfers on stream sockets: every byte or a clear failure. Partial
// transfers and interrupted calls are continued; sends never raise SIGPIPE.
#pragma once

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

// Closes the descriptor, keeping errno; nothing for -1.
void CloseFd(int fd);

}  // namespace ZELK::PSESVC::COMSOCK
