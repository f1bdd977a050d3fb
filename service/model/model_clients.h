// The clients model ("zelk.clients"): the client processes of the service,
// told of by the PSE factory as the socket server reports them.
#pragma once

#include "zelk_result.h"

namespace ZELK::PSESVC {

class CModelClients {
public:
    // A client process connects, disconnects or becomes the calling thread's
    // active client: 0, or 0x80004005 when the clients model does not exist.
    static HRESULT ClientConnect(const char* process, unsigned int pid);
    static HRESULT ClientDisconnect(const char* process, unsigned int pid);
    static HRESULT ClientActive(const char* process, unsigned int pid);
};

}  // namespace ZELK::PSESVC
