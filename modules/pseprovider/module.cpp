// Module "zelkpse": the PSE provider that the crypto library loads in client
// programs and that the service hands its own PSE to. "SEC_PSE_1" makes the
// process's PSE (the remoting proxy to the service, or a keychain PSE) or a
// PSE of its own for a named request; "SEC_ASC_1" makes security contexts
// whose PSE provider is this module.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file_pse.h"
#include "keychain_pse.h"
#include "provider.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_pseproxy.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"

namespace ZELK::ZELKPSE {
namespace {

using ZELK::PSESVC::ITunnelSourcePSE;

constexpr const char* kModule = "zelkpse";
constexpr const char* kKeychainDefault = "tokkeychain:cfg=KVWC+KVC";

// The crypto library's own security contexts, bound at start.
API_COMMON* s_asc = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_asc);

// The process PSE and the proxy component behind it. Only the unnamed
// request and the service's hand-over fill them, under the creation lock;
// named requests get a PSE of their own.
std::mutex s_createLock;
PSE* s_pPSE = nullptr;
ITunnelSourcePSE* s_pPSEProxy = nullptr;
bool s_registered = false;
bool s_adopted = false;

// The crypto library may unload the module without finalising it. The
// service's PSE lives in a module loaded before this one and is let go here;
// a proxy's module is unloaded first, so its objects are left alone.
struct ReleaseAtUnload {
    ~ReleaseAtUnload()
    {
        if (s_adopted && s_pPSE != nullptr)
            s_pPSE->Release();
        s_pPSE = nullptr;
    }
} s_releaseAtUnload;

class ZELKPKCS11PSE final : public ISingleton {
public:
    HRESULT Initialize() override { return S_OK; }
    HRESULT Finalize() override
    {
        ZELKPSE_DisableTraces();
        std::lock_guard<std::mutex> lock(s_createLock);
        if (s_pPSEProxy != nullptr)
            s_pPSEProxy->Release();
        s_pPSEProxy = nullptr;
        if (s_pPSE != nullptr)
            s_pPSE->Release();
        s_pPSE = nullptr;
        s_adopted = false;
        s_registered = false;
        return S_OK;
    }
};
ZELKPKCS11PSE zelkpse;

HRESULT zelkpse_sec_pse_get_info(const char** api, const char** module, const char** description)
{
    for (const char** out : {api, module, description})
        if (out != nullptr)
            *out = "pseproxy";
    return S_OK;
}

// The remoting proxy over the per-user socket. No connection is made here:
// the first call that travels connects (and starts the service if needed).
HRESULT zelkpse_sec_pse_create_PSE_ZELK()
{
    ZELKPSE_EnableTraces();
    SECTRACE_FormatLn("psesvc", 3, "Kestrin Client Version: %d.%d SP %d Patch Level %d", 3, 0, 2, 0);
    if (s_pPSEProxy != nullptr)
        s_pPSEProxy->Release();
    s_pPSEProxy = nullptr;
    ZELK_CreateObject("zelkps", "zelk.pseproxy.proxy", ZELK::PSESVC::IID_ITunnelSourcePSE,
                      reinterpret_cast<void**>(&s_pPSEProxy));
    if (s_pPSEProxy == nullptr)
        return E_PSE_NOPSE;
    s_pPSEProxy->SetTunnel("zelkcomsock", "zelk.comunix.client");
    s_pPSEProxy->GetPSE(&s_pPSE);
    if (s_pPSE != nullptr)
        return S_OK;
    s_pPSEProxy->Release();
    s_pPSEProxy = nullptr;
    return E_PSE_NOPSE;
}

// A PSE for a name of a known scheme; the prefixes are case-sensitive.
HRESULT CreateNamed(const char* name, PSE** out)
{
    *out = nullptr;
    HRESULT hr = E_PSE_NOPSE;
    if (std::strncmp(name, "file://", 7) == 0)
        hr = FILE::New(name, out);
    else if (std::strncmp(name, "tokkeychain:", 12) == 0)
        hr = PSEKeychain::New(name, out);
    if (SUCCEEDED(hr) && *out == nullptr)
        hr = E_PSE_NOPSE;
    return hr;
}

HRESULT zelkpse_sec_pse_create_PSE(PSE** out, ASC*, SECAttribute* attributes)
{
    std::lock_guard<std::mutex> lock(s_createLock);
    if (s_pPSE == nullptr && !s_registered) {
        ZELK_RegisterSingleton(&zelkpse, 1);
        s_registered = true;
    }
    if (attributes != nullptr && attributes->id == SEC_ATTR_SERVICE_PSE) {
        if (s_pPSE == nullptr) {
            if (attributes->value == nullptr)
                return E_PSE_NOPSE;
            s_pPSE = static_cast<PSE*>(attributes->value);
            s_pPSE->AddRef();
            s_adopted = true;
        }
        return S_OK;
    }
    const SECAttribute* named = SECAttributeArray_FindAttribute(attributes, SEC_ATTR_PSE_NAME);
    if (named != nullptr) {
        const char* name = SECAttributeArray_GetString(attributes, SEC_ATTR_PSE_NAME);
        if (name == nullptr)
            return E_PSE_NOPSE;
        if (out == nullptr)
            return E_PSE_NOARG;
        return CreateNamed(name, out);
    }
    if (s_pPSE == nullptr) {
        HRESULT hr = std::getenv("QEV_KVWC_MODE") != nullptr ? PSEKeychain::New(kKeychainDefault, &s_pPSE)
                                                             : zelkpse_sec_pse_create_PSE_ZELK();
        if (FAILED(hr))
            return hr;
        if (s_pPSE == nullptr)
            return E_PSE_NOPSE;
    }
    if (out != nullptr) {
        *out = s_pPSE;
        s_pPSE->AddRef();
    }
    return S_OK;
}

HRESULT zelkpse_sec_pse_initialize_PSE(const char*, const char*)
{
    return S_OK;
}

HRESULT zelkpse_sec_pse_getSlot(SecSlot**, const char*)
{
    return S_OK;
}

HRESULT zelkpse_sec_asc_get_info(const char** api, const char** module, const char** description)
{
    if (api != nullptr)
        *api = "SEC_ASC_1";
    if (module != nullptr)
        *module = "zelkpkcs11";
    if (description != nullptr)
        *description = "zelkpkcs11";
    return S_OK;
}

// A context of the crypto library whose PSE provider is this module, the
// caller's attributes behind the provider's. The provider's name is not
// owned: the library copies what it keeps.
HRESULT zelkpse_sec_asc_create_ASC(ASC** out, SECAttribute* attributes)
{
    const auto* library = ZELK_ApiCast<SEC_ASC_TABLE>(s_asc);
    if (library == nullptr || library->create_ASC == nullptr)
        return E_FAIL;
    SECAttribute provider {};
    provider.id = SEC_ATTR_PROVIDER;
    provider.value = const_cast<char*>(kModule);
    provider.type = SEC_TypeTable(fptr__common_types, SEC_TYPE_String);
    provider.next = attributes;
    return library->create_ASC(out, &provider);
}

SEC_PSE_TABLE zelkpse_SEC_PSE_FUNCTIONS = {{&zelkpse_sec_pse_get_info},
                                           &zelkpse_sec_pse_create_PSE,
                                           &zelkpse_sec_pse_initialize_PSE,
                                           &zelkpse_sec_pse_getSlot};
SEC_ASC_TABLE zelkpkcs11_SEC_ASC_FUNCTIONS = {{&zelkpse_sec_asc_get_info}, &zelkpse_sec_asc_create_ASC};

CZELK_API s_pseApi(kModule, "SEC_PSE_1", &zelkpse_SEC_PSE_FUNCTIONS);
CZELK_API s_ascApi(kModule, "SEC_ASC_1", &zelkpkcs11_SEC_ASC_FUNCTIONS);

}  // namespace
}  // namespace ZELK::ZELKPSE
