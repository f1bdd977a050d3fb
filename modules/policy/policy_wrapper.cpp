#include "policy_wrapper.h"

#include "policy_defaults.h"
#include "policy_values.h"
#include "zelk_class.h"

namespace kestrin::policy {

HRESULT ZELK_Policy::NewClass(const char* className, const GUID& iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!className)
        return E_INVALIDARG;
    CComObject<ZELK_Policy>* wrapper = nullptr;
    HRESULT hr = CComObject<ZELK_Policy>::CreateInstance(&wrapper);
    if (FAILED(hr))
        return hr;
    wrapper->AddRef();
    ZELK_IPolicy* inner = nullptr;
    hr = ZELK_CreateObject(ZELK_POLICY_MODULE, className, IID_ZELK_IPolicy, reinterpret_cast<void**>(&inner));
    if (FAILED(hr) || !inner) {
        wrapper->Release();
        return FAILED(hr) ? hr : E_FAIL;
    }
    wrapper->m_inner.Attach(inner);
    wrapper->m_innerInternal = inner;
    hr = wrapper->QueryInterface(iid, out);
    wrapper->Release();
    return hr;
}

HRESULT ZELK_Policy::NewPlist(const GUID& iid, void** out)
{
    return NewClass("zelk.policy.plist.nodefault", iid, out);
}
HRESULT ZELK_Policy::NewFile(const GUID& iid, void** out)
{
    return NewClass("zelk.policy.file.nodefault", iid, out);
}

const ZELK_PolicyDefault* ZELK_Policy::GetDefaultValue(const char* name) const
{
    return FindDefault(m_template, name);
}

const char* ZELK_Policy::GetName()
{
    return m_inner->GetName();
}
const char* ZELK_Policy::GetPath()
{
    return m_innerInternal ? m_innerInternal->GetPath() : m_inner->GetPath();
}

int ZELK_Policy::Bind(const char* path)
{
    if (!path)
        return E_INVALIDARG;
    BindTemplate(path);
    return m_innerInternal ? m_innerInternal->Bind(path) : m_inner->Bind(path);
}

int ZELK_Policy::Bind(const char* path, signed char flag)
{
    return m_inner->Bind(path, flag);
}
bool ZELK_Policy::IsConfigured(const char* name)
{
    return m_inner->IsConfigured(name);
}
int ZELK_Policy::EnumSubKey(long index, char* name, long size)
{
    return m_inner->EnumSubKey(index, name, size);
}

int ZELK_Policy::CreateSubKey(const char* name, signed char flag, ZELK_IPolicy** out)
{
    return m_innerInternal ? m_innerInternal->CreateSubKey(name, flag, out) : E_NOTIMPL;
}

int ZELK_Policy::OpenSubKey(long index, ZELK_IPolicy** out)
{
    return m_inner->OpenSubKey(index, out);
}
bool ZELK_Policy::IsChild(const char* name)
{
    return m_inner->IsChild(name);
}
int ZELK_Policy::OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out)
{
    return m_inner->OpenChild(name, flags, out);
}
bool ZELK_Policy::IsChangeable(const char* name)
{
    return m_inner->IsChangeable(name);
}
bool ZELK_Policy::IsFromPolicy(const char* name)
{
    return m_inner->IsFromPolicy(name);
}

int ZELK_Policy::GetString(const char* name, char** value)
{
    if (!value)
        return E_POINTER;
    HRESULT hr = m_inner->GetString(name, value);
    if (SUCCEEDED(hr))
        return hr;
    const ZELK_PolicyDefault* entry = GetDefaultValue(name);
    if (!entry || entry->type != ZELK_POLICY_TYPE_TEXT)
        return E_FAIL;
    return NewText(entry->text, value);
}

unsigned ZELK_Policy::GetDWORD(const char* name)
{
    unsigned number = 0;
    GetDWORD(name, &number);
    return number;
}

int ZELK_Policy::GetDWORD(const char* name, unsigned* value)
{
    if (!value)
        return E_POINTER;
    if (!m_innerInternal)
        return E_FAIL;
    HRESULT hr = m_innerInternal->GetDWORD(name, value);
    if (SUCCEEDED(hr))
        return hr;
    const ZELK_PolicyDefault* entry = GetDefaultValue(name);
    if (!entry || entry->type != ZELK_POLICY_TYPE_NUMBER)
        return E_FAIL;
    *value = entry->number;
    return S_OK;
}

int ZELK_Policy::GetBinary(const char* name, OctetString** value)
{
    return m_inner->GetBinary(name, value);
}
int ZELK_Policy::SetString(const char* name, const char* value)
{
    return m_inner->SetString(name, value);
}
int ZELK_Policy::SetDWORD(const char* name, unsigned value)
{
    return m_inner->SetDWORD(name, value);
}
int ZELK_Policy::SetBinary(const char* name, OctetString* value)
{
    return m_inner->SetBinary(name, value);
}
int ZELK_Policy::DeleteSubkey(const char* name)
{
    return m_inner->DeleteSubkey(name);
}
int ZELK_Policy::SetConfigPath(const char* file)
{
    return m_inner->SetConfigPath(file);
}
int ZELK_Policy::RegisterCallback(ZELK::ISignal* callback)
{
    return m_inner->RegisterCallback(callback);
}

int ZELK_Policy::SetWriteThrough(signed char flag)
{
    m_writeThrough = flag != 0;
    return S_OK;
}

int ZELK_Policy::BindTemplate(const char* path)
{
    if (!path)
        return E_INVALIDARG;
    if (const ZELK_PolicyMap* map = FindTemplate(path))
        m_template = map;
    return S_OK;
}

int ZELK_Policy::AddSignal(ZELK::ISignal* signal)
{
    return m_innerInternal ? m_innerInternal->AddSignal(signal) : E_NOTIMPL;
}

int ZELK_Policy::RemoveSignal(ZELK::ISignal* signal)
{
    return m_innerInternal ? m_innerInternal->RemoveSignal(signal) : E_NOTIMPL;
}

}  // namespace kestrin::policy
