#include "policy_plist.h"

#include "plist_roots.h"
#include "policy_values.h"

namespace kestrin::policy {

namespace {
// Output pointer missing on a read.
constexpr HRESULT kNullArgument = ZELK_RC(0xA010000B);
}  // namespace

ZELK_Policy_Plist::ZELK_Policy_Plist(std::shared_ptr<PlistRoot> root) : m_root(std::move(root)) {}

ZELK_Policy_Plist::~ZELK_Policy_Plist()
{
    // Once this returns, the root calls none of this object's signals.
    m_root->RemoveOwner(this);
}

HRESULT ZELK_Policy_Plist::NewOnRoot(std::shared_ptr<PlistRoot> root, const GUID& iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!root)
        return E_OUTOFMEMORY;
    CComObject<ZELK_Policy_Plist>* object = nullptr;
    HRESULT hr = CComObject<ZELK_Policy_Plist>::CreateInstance(&object, std::move(root));
    if (FAILED(hr))
        return hr;
    object->AddRef();
    hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT ZELK_Policy_Plist::NewSystem(const GUID& iid, void** out)
{
    return NewOnRoot(SystemPlistRoot(), iid, out);
}
HRESULT ZELK_Policy_Plist::NewUser(const GUID& iid, void** out)
{
    return NewOnRoot(UserPlistRoot(), iid, out);
}

HRESULT ZELK_Policy_Plist::NewWithSameRoot(const KeyPath& path, ZELK_IPolicy** out)
{
    ZELK_IPolicy* child = nullptr;
    HRESULT hr = NewOnRoot(m_root, IID_ZELK_IPolicy, reinterpret_cast<void**>(&child));
    if (FAILED(hr))
        return hr;
    try {
        static_cast<ZELK_Policy_Plist*>(child)->SetPath(path);
    } catch (const std::bad_alloc&) {
        child->Release();
        return E_OUTOFMEMORY;
    }
    *out = child;
    return S_OK;
}

KeyPath ZELK_Policy_Plist::Path()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_path;
}

void ZELK_Policy_Plist::SetPath(KeyPath path)
{
    std::string text = JoinKeyPath(path);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_path = std::move(path);
        m_pathText = std::move(text);
    }
    m_root->SetOwnerPath(this, Path());
}

const char* ZELK_Policy_Plist::GetName()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_path.empty() ? nullptr : m_path.back().c_str();
}

const char* ZELK_Policy_Plist::GetPath()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pathText.c_str();
}

int ZELK_Policy_Plist::Bind(const char* path)
{
    if (!path)
        return E_INVALIDARG;
    m_root->Load();
    try {
        SetPath(SplitKeyPath(path));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int ZELK_Policy_Plist::Bind(const char*, signed char)
{
    return S_OK;
}

bool ZELK_Policy_Plist::IsConfigured(const char* name)
{
    return name && m_root->IsConfigured(Path(), name);
}

int ZELK_Policy_Plist::EnumSubKey(long index, char* name, long size)
{
    if (!name || size <= 0)
        return E_INVALIDARG;
    std::string found;
    if (!m_root->SubKeyAt(Path(), index, &found))
        return S_FALSE;
    CopyName(found, name, size);
    return S_OK;
}

int ZELK_Policy_Plist::CreateSubKey(const char*, signed char, ZELK_IPolicy**)
{
    return S_OK;
}

int ZELK_Policy_Plist::OpenSubKey(long index, ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    KeyPath path = Path();
    std::string found;
    if (!m_root->SubKeyAt(path, index, &found))
        return E_FAIL;
    path.push_back(std::move(found));
    return NewWithSameRoot(path, out);
}

bool ZELK_Policy_Plist::IsChild(const char*)
{
    return false;
}

int ZELK_Policy_Plist::OpenChild(const char* name, unsigned, ZELK_IPolicy** out)
{
    if (!name || !out)
        return E_INVALIDARG;
    KeyPath path = Path();
    path.emplace_back(name);
    return NewWithSameRoot(path, out);
}

bool ZELK_Policy_Plist::IsChangeable(const char*)
{
    return true;
}
bool ZELK_Policy_Plist::IsFromPolicy(const char*)
{
    return false;
}

int ZELK_Policy_Plist::GetString(const char* name, char** value)
{
    if (!value)
        return kNullArgument;
    *value = nullptr;
    if (!name)
        return E_INVALIDARG;
    std::string text;
    HRESULT hr = m_root->GetString(Path(), name, &text);
    if (FAILED(hr))
        return hr;
    return NewText(text, value);
}

unsigned ZELK_Policy_Plist::GetDWORD(const char* name)
{
    unsigned number = 0;
    GetDWORD(name, &number);
    return number;
}

int ZELK_Policy_Plist::GetDWORD(const char* name, unsigned* value)
{
    if (!value)
        return kNullArgument;
    *value = 0;
    if (!name)
        return E_INVALIDARG;
    uint32_t number = 0;
    HRESULT hr = m_root->GetNumber(Path(), name, &number);
    if (SUCCEEDED(hr))
        *value = number;
    return hr;
}

int ZELK_Policy_Plist::GetBinary(const char* name, OctetString** value)
{
    if (!value)
        return kNullArgument;
    if (!name)
        return E_INVALIDARG;
    std::string bytes;
    HRESULT hr = m_root->GetBinary(Path(), name, &bytes);
    if (FAILED(hr))
        return hr;
    return NewOctetString(bytes, value);
}

int ZELK_Policy_Plist::SetString(const char* name, const char* value)
{
    if (!name)
        return E_INVALIDARG;
    PlistPtr node;
    if (value) {
        node.reset(plist_new_string(value));
        if (!node)
            return E_OUTOFMEMORY;
    }
    return m_root->SetValue(Path(), name, std::move(node));
}

int ZELK_Policy_Plist::SetDWORD(const char* name, unsigned value)
{
    if (!name)
        return E_INVALIDARG;
    PlistPtr node = NewNumber(value);
    if (!node)
        return E_OUTOFMEMORY;
    return m_root->SetValue(Path(), name, std::move(node));
}

int ZELK_Policy_Plist::SetBinary(const char* name, OctetString* value)
{
    if (!name)
        return E_INVALIDARG;
    if (!value || !value->data)
        return DeleteSubkey(name);
    if (!AcceptableBytes(value))
        return E_INVALIDARG;
    PlistPtr node(plist_new_data(reinterpret_cast<const char*>(value->data), value->length));
    if (!node)
        return E_OUTOFMEMORY;
    return m_root->SetValue(Path(), name, std::move(node));
}

int ZELK_Policy_Plist::DeleteSubkey(const char* name)
{
    if (!name)
        return E_INVALIDARG;
    return m_root->DeleteSubkey(Path(), name);
}

int ZELK_Policy_Plist::SetConfigPath(const char*)
{
    return S_OK;
}

int ZELK_Policy_Plist::RegisterCallback(ZELK::ISignal* callback)
{
    m_root->SetCallback(this, Path(), callback);
    return S_OK;
}

int ZELK_Policy_Plist::SetWriteThrough(signed char)
{
    return S_OK;
}
int ZELK_Policy_Plist::BindTemplate(const char*)
{
    return S_OK;
}

int ZELK_Policy_Plist::AddSignal(ZELK::ISignal* signal)
{
    if (!signal)
        return E_INVALIDARG;
    m_root->AddSignal(this, Path(), signal);
    return S_OK;
}

int ZELK_Policy_Plist::RemoveSignal(ZELK::ISignal* signal)
{
    m_root->RemoveSignal(this, signal);
    return S_OK;
}

}  // namespace kestrin::policy
