// Module "zelkps": the client's PSE component "zelk.pseproxy.proxy", the
// service's session component "zelk.pseproxy.stub", and the provider table
// "pseproxy" whose PSE speaks to an in-process object table.
#include "pseproxy.h"
#include "psestub.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace {

using namespace ZELK::PSESVC;

HRESULT sec_pse_get_info_PROXY(const char** api, const char** module, const char** description)
{
    for (const char** out : {api, module, description}) {
        if (out != nullptr)
            *out = "pseproxy";
    }
    return S_OK;
}

// A PSE proxy whose tunnel is an empty object table of this process: every
// remoted call is answered -1 with an empty reply.
HRESULT sec_pse_create_PSE_PROXY(PSE** out, ASC*, SECAttribute*)
{
    static ObjCache s_table;
    if (out == nullptr)
        return E_POINTER;
    *out = PSEProxy::GetInstance(&s_table, 0);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT sec_pse_initialize_PSE_PROXY(const char*, const char*)
{
    return S_OK;
}

HRESULT sec_pse_getSlot_PROXY(SecSlot**, const char*)
{
    return S_OK;
}

SEC_PSE_TABLE s_pseProxyTable = [] {
    SEC_PSE_TABLE table {};
    table.get_info = &sec_pse_get_info_PROXY;
    table.create_PSE = &sec_pse_create_PSE_PROXY;
    table.initialize_PSE = &sec_pse_initialize_PSE_PROXY;
    table.getSlot = &sec_pse_getSlot_PROXY;
    return table;
}();

CZELK_API s_pseProxyApi("zelkps", "pseproxy", &s_pseProxyTable);
CZELK_CLASS s_proxyClass("zelkps", "zelk.pseproxy.proxy", &CFactoryImpl<PSEProxyImpl>::New);
CZELK_CLASS s_stubClass("zelkps", "zelk.pseproxy.stub", &CFactoryImpl<PSEStubImpl>::New);

}  // namespace
