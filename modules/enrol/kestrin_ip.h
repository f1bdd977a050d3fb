// The client machine's host name and IPv4 address, which protocol 1.0 tells
// the server.
#pragma once

#include <netdb.h>

#include "zelk_result.h"

namespace kestrin::enrol {

class CKestrinIP {
public:
    // The name resolution GetIp uses: getaddrinfo by default; tests put in
    // their own. Same contract as getaddrinfo/freeaddrinfo.
    using Resolve = int (*)(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
    using FreeResult = void (*)(addrinfo* result);
    using HostName = int (*)(char* name, size_t length);
    static void SetResolver(Resolve resolve, FreeResult freeResult, HostName hostName);

    // The official host name and the dotted IPv4 address, as new texts of the
    // library allocator. E_FAIL when the name cannot be read or resolved, or
    // when the first address found is not IPv4.
    static HRESULT GetIp(char** host, char** address);
};

}  // namespace kestrin::enrol
