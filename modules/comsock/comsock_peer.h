// What the transport learns about the process at the other end: the
// credentials of a Unix-domain peer, a process's name and executable, and the
// owners of local TCP sockets (from /proc).
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "comsock_framed.h"
#include "zelk_result.h"

namespace ZELK::PSESVC::COMSOCK {

// The Unix-domain peer's user and process id, and its name from
// /proc/<pid>/comm ("unknown" when it cannot be read). 0x80004005 when the
// socket gives no credentials.
HRESULT GetPeerInfo(int fd, PeerInfo* peer);

// The name of process `pid` (its comm), at most size-1 characters; false
// when it cannot be read.
bool ReadProcessName(uint32_t pid, char* name, size_t size);

// The executable of process `pid`; empty when it cannot be read.
std::string ReadProcessPath(uint32_t pid);

// The process at the other end of the IPv4 TCP connection `fd`, 0 when it is
// not found (another user's process, or one that has exited).
uint32_t GetTcpPeerPid(int fd);

// The user owning the other end's socket of the IPv4 TCP connection `fd`
// (its /proc/net/tcp row); false when that row is not found.
bool GetTcpPeerUid(int fd, uid_t* uid);

// The first process (in the order of /proc) holding an IPv4 TCP socket whose
// local or remote port is `port`; 0 when none is found or `port` is 0.
uint32_t GetPidUsingPort(int port);

}  // namespace ZELK::PSESVC::COMSOCK
