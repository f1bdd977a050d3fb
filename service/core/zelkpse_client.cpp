// The service PSE's class functions for a connection from a client process
// to a service. The service opens no such connection, so the statics stay
// empty and every function answers as without one.
#include "zelkpse.h"

namespace ZELK::PSESVC {

CriticalSection ZELKPSE::s_cs;
PSE* ZELKPSE::s_pPSEProxy = nullptr;
PSE* ZELKPSE::s_pPSE = nullptr;
bool ZELKPSE::s_bIsLocalClient = false;
bool ZELKPSE::s_bIsRemoteClient = false;

namespace {

void ReleaseConnection(PSE** pse)
{
    if (*pse) {
        (*pse)->Release();
        *pse = nullptr;
    }
}

}  // namespace

HRESULT ZELKPSE::ConnectToServer(signed char reset, PSE** out)
{
    if (out)
        *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (reset) {
        s_bIsLocalClient = false;
        s_bIsRemoteClient = false;
        ReleaseConnection(&s_pPSEProxy);
        ReleaseConnection(&s_pPSE);
    }
    return S_FALSE;
}

HRESULT ZELKPSE::GetProxy(PSE** out)
{
    CriticalCodeSection lock(&s_cs);
    return ConnectToServer(1, out);
}

HRESULT ZELKPSE::DisconnectFromServer()
{
    CriticalCodeSection lock(&s_cs);
    s_bIsLocalClient = false;
    s_bIsRemoteClient = false;
    ReleaseConnection(&s_pPSEProxy);
    ReleaseConnection(&s_pPSE);
    return S_OK;
}

}  // namespace ZELK::PSESVC
