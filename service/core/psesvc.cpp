#include "psesvc.h"

#include <cstring>

#include "../tokens/token_manager.h"
#include "create_object.h"
#include "zelk_base_asc.h"
#include "zelk_classfactory.h"
#include "zelk_gui.h"
#include "zelk_module.h"
#include "zelk_ptr.h"
#include "zelk_strings.h"
#include "zelk_trace.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk", &CSingletonFactoryImpl<PSESVC>::New);

// The base module's access to the process's security context, bound with the
// service's other tables.
API_COMMON* ZELKBASE_ASC_TABLE = nullptr;
CLoadAPI s_loadBaseAsc("zelkbase", ZELKBASE_ASC_API, &ZELKBASE_ASC_TABLE);

// The version of the system, written into the start banner.
constexpr int kVersionMajor = 3;
constexpr int kVersionMinor = 0;
constexpr int kServicePack = 2;
constexpr int kPatchLevel = 0;

}  // namespace

HRESULT PSESVC::Run(const char**, int)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "PSESVC::Run");
    SECTRACE_FormatLn("psesvc", 3, "Kestrin Client Version: %d.%d SP %d Patch Level %d", kVersionMajor, kVersionMinor,
                      kServicePack, kPatchLevel);

    HRESULT hr = ZELK_CreateSingleton("zelk", "zelk.readermgr");
    if (FAILED(hr))
        return trace.result = hr;
    hr = ZELK_CreateSingleton("zelk", "zelk.tokenmgr");
    if (FAILED(hr))
        return trace.result = hr;
    for (const char* monitor :
         {"zelk.kerberos", "zelk.keychainmonitor", "zelk.kvtokenmonitor", "zelk.policygroupsmonitor"})
        ZELK_CreateSingleton("zelk", monitor);

    ITunnelSource* server = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT created = ZELK_CreateObject("zelkcomsock", "zelk.comunix.server", &server);
    if (SUCCEEDED(created))
        created = ZELK_CreateObject("zelk", "zelk.psefactory", &factory);

    trace.result = E_ACCESSDENIED;
    if (SUCCEEDED(created) && server && factory) {
        // The first instance makes the shared security context and hands the
        // service PSE to the provider module before any client is served.
        IUnknown* first = nullptr;
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&first));
        trace.result = server->Connect(factory);
        if (first)
            first->Release();
    }

    if (SUCCEEDED(trace.result)) {
        IGUI* gui = nullptr;
        ZELK_CreateObject("zelkgui", "zelk.nogui", &gui);
        if (gui == nullptr) {
            SECTRACE_WriteLn(nullptr, 4, "start dummy loop");
            for (;;)
                Sleep(10);
        }
        SECTRACE_WriteLn(nullptr, 4, "start GUI loop");
        gui->Run(this);
        gui->Release();
    }

    if (server)
        server->Disconnect(factory);
    if (factory)
        factory->LockServer(false);
    // The server's last reference joins its session threads; they may still
    // be inside the service's objects until the factory woke their waits, and
    // must end before the modules unload.
    if (server)
        server->Release();
    ZELK_Finalize();
    if (factory)
        factory->Release();
    return trace.result;
}

HRESULT PSESVC::CreateObject(const char* module, const char* className, const GUID& iid, void** out)
{
    return ZELK_CreateObject(module, className, iid, out);
}

HRESULT PSESVC::DoOp(const char*, const char* op, ICredUI*)
{
    if (op != nullptr && String_Compare(op, "emergency.shutdown") == 0)
        CTokenMgr::EmergencyShutdown();
    return E_NOTIMPL;
}

}  // namespace ZELK::PSESVC
