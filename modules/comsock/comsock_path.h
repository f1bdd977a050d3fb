// The per-user socket: its private folder and its path, computed the same way
// by the service and by its clients.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "zelk_result.h"

namespace ZELK::PSESVC::COMSOCK {

// Room for a Unix-domain socket path, its terminating zero included.
constexpr size_t kSocketPathSize = 108;
inline constexpr const char* kApplicationId = "org.kestrin.client";

// Reads the single-user name (policy path "Permissions", string
// "SingleUser"): true with a non-empty name. A policy store that cannot be
// reached or a path that cannot be opened counts as no value.
bool ReadSingleUser(char* name, size_t size);

// The single-user name read last ("" outside single-user mode); once set it
// stays for the life of the process.
const char* SingleUserName();

// Where the socket of user `uid` lives: "$XDG_RUNTIME_DIR/kestrin" when that
// variable names a directory owned by `uid`, otherwise "/tmp/kestrin-<uid>".
// In single-user mode always the latter, so that a service started by
// another user and the single user's clients meet.
std::string SocketFolder(uid_t uid, bool singleUser);

// Makes `folder` a directory of mode 0700 owned by `owner` (created when
// missing; handed to `owner` when created by root) and checks that it is
// one: not a link, that owner, no access for others. 0x80070005 otherwise.
HRESULT EnsurePrivateFolder(const std::string& folder, uid_t owner, gid_t group);

// "<folder>/org.kestrin.client.<session>" into `path` (kSocketPathSize
// bytes); 0x80004005 when it does not fit.
HRESULT BuildSocketPath(const std::string& folder, const char* session, char* path);

// The Unix-domain address of `path` (at most kSocketPathSize bytes) in
// *address; its length.
socklen_t UnixAddress(const char* path, sockaddr_storage* address);

// 127.0.0.1 at `port` in *address; its length.
socklen_t LoopbackAddress(uint16_t port, sockaddr_storage* address);

// The socket path of this process: the session name is the single-user name,
// or the application's session id, or the decimal real user id.
// 0x80000003 without `path`.
HRESULT CreateSocketPath(char* path);

// The socket path that user `uid` will use (the user switch, before the
// process has become that user).
HRESULT CreateSocketPathFor(uid_t uid, char* path);

// The user id and group id of `user`; 0x80004005 when it is unknown.
HRESULT LookupUser(const char* user, uid_t* uid, gid_t* gid);

// The user id whose folder the socket lives in: the single user's when one
// is configured and known, else the real user id.
uid_t SocketOwner();

}  // namespace ZELK::PSESVC::COMSOCK
