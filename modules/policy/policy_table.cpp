// The table "zelk.policy.1" of module "zelkpolicy" and the classes the module
// offers by name.
#include "policy_chain.h"
#include "policy_defaults.h"
#include "policy_plist.h"
#include "policy_stores.h"
#include "policy_values.h"
#include "policy_wrapper.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::policy {

namespace {

constexpr const char* kPlistClass = "zelk.policy.plist";
constexpr const char* kMemClass = "zelk.policy.mem";

// "zelk.policy.plist.nodefault": the system store first, every write to the user store.
HRESULT NewPlistChain(const GUID& iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ZELK_IPolicy* system = nullptr;
    ZELK_IPolicy* user = nullptr;
    HRESULT hr = ZELK_Policy_Plist::NewSystem(IID_ZELK_IPolicy, reinterpret_cast<void**>(&system));
    if (SUCCEEDED(hr))
        hr = ZELK_Policy_Plist::NewUser(IID_ZELK_IPolicy, reinterpret_cast<void**>(&user));
    ZELK_IPolicy* chain = nullptr;
    if (SUCCEEDED(hr))
        hr = ZELK_Policy_Chain::New(system, user, 1, &chain);
    if (system)
        system->Release();
    if (user)
        user->Release();
    if (FAILED(hr))
        return hr;
    hr = chain->QueryInterface(iid, out);
    chain->Release();
    return hr;
}

HRESULT PolicyGetInfo(const char** api, const char** module, const char** description)
{
    if (api)
        *api = ZELK_POLICY_API;
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

int PolOpenType(const char* path, const char* className, ZELK_IPolicy** out)
{
    if (!path || !className || !out)
        return E_INVALIDARG;
    ZELK_IPolicy* object = nullptr;
    ZELK_CreateObject(ZELK_POLICY_MODULE, className, IID_ZELK_IPolicy, reinterpret_cast<void**>(&object));
    if (!object)
        return E_NOTIMPL;
    if (FAILED(object->Bind(path))) {
        object->Release();
        return E_FAIL;
    }
    ZELK_IPolicy_Internal* internal = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_ZELK_IPolicy_Internal, reinterpret_cast<void**>(&internal)))) {
        internal->SetWriteThrough(1);
        internal->Release();
    }
    *out = object;
    return S_OK;
}

int PolOpen(const char* path, ZELK_IPolicy** out)
{
    return PolOpenType(path, kPlistClass, out);
}

int PolOpenEx(const char* path, const char* templatePath, ZELK_IPolicy** out)
{
    if (!path || !out)
        return E_INVALIDARG;
    ZELK_IPolicy* object = nullptr;
    PolOpenType(path, kPlistClass, &object);
    if (!object)
        return E_NOTIMPL;
    ZELK_IPolicy_Internal* internal = nullptr;
    object->QueryInterface(IID_ZELK_IPolicy_Internal, reinterpret_cast<void**>(&internal));
    if (!internal) {
        object->Release();
        return E_FAIL;
    }
    HRESULT hr = S_OK;
    if (templatePath && *templatePath)
        hr = internal->BindTemplate(templatePath);
    bool bound = false;
    if (SUCCEEDED(hr) && *path) {
        hr = object->Bind(path);
        bound = SUCCEEDED(hr);
    }
    if (FAILED(hr)) {
        internal->Release();
        object->Release();
        return hr;
    }
    internal->SetWriteThrough(bound ? 1 : 0);
    internal->Release();
    *out = object;
    return S_OK;
}

int PolClose(ZELK_IPolicy** policy)
{
    if (!policy)
        return S_OK;
    if (*policy)
        (*policy)->Release();
    *policy = nullptr;
    return S_OK;
}

int PolGetString(ZELK_IPolicy* policy, const char* name, char** value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    if (!policy)
        return E_INVALIDARG;
    return policy->GetString(name, value);
}

unsigned PolGetDWORD(ZELK_IPolicy* policy, const char* name)
{
    if (!policy) {
        // An error code read as a number would pass for a configured value.
        SECTRACE_FormatLn(kTraceModule, 1, "ZELK_PolGetDWORD: no policy object for \"%s\", reading 0",
                          name ? name : "(null)");
        return 0;
    }
    return policy->GetDWORD(name);
}

int PolRegisterDefaults(ZELK_PolicyMap* map)
{
    return RegisterDefaults(map);
}

int PolNotImplemented()
{
    return E_NOTIMPL;
}

bool PolHasSubkey(const char* path, const char* name)
{
    ZELK_IPolicy* policy = nullptr;
    if (FAILED(PolOpen(path, &policy)))
        return false;
    bool child = policy->IsChild(name);
    policy->Release();
    return child;
}

int PolGetTempClone(ZELK_IPolicy* policy, ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!policy)
        return E_INVALIDARG;
    ZELK_IPolicy* memory = nullptr;
    PolOpenType(policy->GetPath(), kMemClass, &memory);
    HRESULT hr = ZELK_Policy_Chain::New(memory, policy, 0, out);
    if (memory)
        memory->Release();
    return hr;
}

int PolCreateChain(ZELK_IPolicy** policies, unsigned long count, unsigned long writePosition, ZELK_IPolicy** out)
{
    return ZELK_Policy_Chain::New(policies, count, writePosition, out);
}

ZELK_POLICY_FUNCTIONS sZELK_POLICY_TABLE = {
    {&PolicyGetInfo}, &PolOpen,           &PolOpenEx,           &PolOpenType,       &PolClose,
    &PolGetString,    &PolGetDWORD,       &PolRegisterDefaults, &PolNotImplemented, &PolHasSubkey,
    &PolGetTempClone, &PolNotImplemented, &PolCreateChain,
};

CZELK_API implZELK_POLICY(ZELK_POLICY_MODULE, ZELK_POLICY_API, &sZELK_POLICY_TABLE);

CZELK_CLASS s_classPlist(ZELK_POLICY_MODULE, kPlistClass, &ZELK_Policy::NewPlist);
CZELK_CLASS s_classFile(ZELK_POLICY_MODULE, "zelk.policy.file", &ZELK_Policy::NewFile);
CZELK_CLASS s_classPlistChain(ZELK_POLICY_MODULE, "zelk.policy.plist.nodefault", &NewPlistChain);
CZELK_CLASS s_classPlistSystem(ZELK_POLICY_MODULE, "zelk.policy.plist.nodefault.SYS", &ZELK_Policy_Plist::NewSystem);
CZELK_CLASS s_classPlistUser(ZELK_POLICY_MODULE, "zelk.policy.plist.nodefault.USR", &ZELK_Policy_Plist::NewUser);
CZELK_CLASS s_classFileStore(ZELK_POLICY_MODULE, "zelk.policy.file.nodefault", &CFactoryImpl<ZELK_Policy_File>::New);
CZELK_CLASS s_classMem(ZELK_POLICY_MODULE, kMemClass, &CFactoryImpl<ZELK_Policy_Mem>::New);

}  // namespace

}  // namespace kestrin::policy

// This deliverable's own table, from the start.
API_COMMON* ZELK_POLICY_TABLE = &kestrin::policy::sZELK_POLICY_TABLE;
