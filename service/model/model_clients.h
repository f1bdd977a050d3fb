// The clients model ("zelk.clients"): the client processes of the service,
// told of by the PSE factory as the socket server reports them.
#pragma once

#include "zelk_gui.h"
#include "zelk_result.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CModelClient, 0x2D9B47E1, 0x6A3F, 0x4C52, 0x8E, 0x17, 0xB0, 0x4A, 0x93, 0x5C, 0x21, 0x6F);

namespace ZELK::PSESVC {

// A client process of the service as the models keep it.
class CModelClient : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CModelClient; }

    // The client's credential dialog with one reference, NULL when it holds
    // none; 0.
    virtual HRESULT GetCredUi(ICredUI** out) = 0;
    // UTF-8 texts, NULL or empty when unknown.
    virtual const char* GetURL() = 0;
    virtual const char* GetDescription() = 0;

protected:
    ~CModelClient() = default;
};

class CModelClients {
public:
    // A client process connects, disconnects or becomes the calling thread's
    // active client: 0, or 0x80004005 when the clients model does not exist.
    static HRESULT ClientConnect(const char* process, unsigned int pid);
    static HRESULT ClientDisconnect(const char* process, unsigned int pid);
    static HRESULT ClientActive(const char* process, unsigned int pid);
    // The calling thread's active client with one reference (NULL when it has
    // none): 0; 0x80004005 without the clients model, `out` untouched.
    static HRESULT GetActiveClient(CModelClient** out);
};

}  // namespace ZELK::PSESVC
