#include "policy_stores.h"

#include <cstdint>
#include <string_view>

#include "key_path.h"
#include "policy_values.h"
#include "zelk_trace.h"

namespace kestrin::policy {

namespace {
constexpr long kNameBuffer = 512;
}  // namespace

// ---- memory store -------------------------------------------------------------

const char* ZELK_Policy_Mem::GetName()
{
    return GetPath();
}

const char* ZELK_Policy_Mem::GetPath()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bound ? m_path.c_str() : nullptr;
}

int ZELK_Policy_Mem::Bind(const char* path)
{
    if (!path)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_bound = true;
    return S_OK;
}

int ZELK_Policy_Mem::Bind(const char*, signed char)
{
    return E_NOTIMPL;
}
bool ZELK_Policy_Mem::IsConfigured(const char* name)
{
    return m_records.IsConfigured(name);
}
int ZELK_Policy_Mem::EnumSubKey(long, char*, long)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::CreateSubKey(const char*, signed char, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::OpenSubKey(long, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}
bool ZELK_Policy_Mem::IsChild(const char*)
{
    return false;
}
int ZELK_Policy_Mem::OpenChild(const char*, unsigned, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}
bool ZELK_Policy_Mem::IsChangeable(const char*)
{
    return true;
}
bool ZELK_Policy_Mem::IsFromPolicy(const char*)
{
    return false;
}

int ZELK_Policy_Mem::GetString(const char* name, char** value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    std::string text;
    // A record that holds a number or bytes has no text to give.
    HRESULT hr = m_records.GetString(name, &text);
    if (FAILED(hr))
        return hr;
    return NewText(text, value);
}

unsigned ZELK_Policy_Mem::GetDWORD(const char* name)
{
    return m_records.GetNumber(name);
}

int ZELK_Policy_Mem::GetBinary(const char* name, OctetString** value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    std::string bytes;
    HRESULT hr = m_records.GetBinary(name, &bytes);
    if (FAILED(hr))
        return hr;
    return NewOctetString(bytes, value);
}

int ZELK_Policy_Mem::SetString(const char* name, const char* value)
{
    return m_records.SetString(name, value);
}
int ZELK_Policy_Mem::SetDWORD(const char* name, unsigned value)
{
    return m_records.SetNumber(name, value);
}

int ZELK_Policy_Mem::SetBinary(const char* name, OctetString* value)
{
    if (!value || !value->data)
        return m_records.SetBinary(name, nullptr, 0);
    if (!AcceptableBytes(value))
        return E_INVALIDARG;
    return m_records.SetBinary(name, value->data, static_cast<size_t>(value->length));
}

int ZELK_Policy_Mem::DeleteSubkey(const char*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::SetConfigPath(const char*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::RegisterCallback(ZELK::ISignal*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::SetWriteThrough(signed char)
{
    return S_OK;
}
int ZELK_Policy_Mem::BindTemplate(const char*)
{
    return E_NOTIMPL;
}

int ZELK_Policy_Mem::GetDWORD(const char* name, unsigned* value)
{
    if (!value)
        return E_POINTER;
    *value = m_records.GetNumber(name);
    return S_OK;
}

int ZELK_Policy_Mem::AddSignal(ZELK::ISignal*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_Mem::RemoveSignal(ZELK::ISignal*)
{
    return E_NOTIMPL;
}

// ---- INI store ----------------------------------------------------------------

ZELK_Policy_File::~ZELK_Policy_File()
{
    Flush();
}

const char* ZELK_Policy_File::GetName()
{
    return GetPath();
}

const char* ZELK_Policy_File::GetPath()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_bound ? m_path.c_str() : nullptr;
}

int ZELK_Policy_File::Bind(const char* path)
{
    return Bind(path, 1);
}

int ZELK_Policy_File::Bind(const char* path, signed char)
{
    SECTRACE_Fkt_IMPL<int> fkt("%8x", "ZELK_Policy_File::Bind");
    if (!path)
        return fkt.result = E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        return fkt.result = E_OUTOFMEMORY;
    }
    m_bound = true;
    return fkt.result = S_OK;
}

bool ZELK_Policy_File::FindValue(const char* name, std::string* value)
{
    if (!name || !m_bound)
        return false;
    return m_ini.Find(m_path, name, value);
}

bool ZELK_Policy_File::IsConfigured(const char* name)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::string value;
    return FindValue(name, &value);
}

int ZELK_Policy_File::EnumSubKey(long index, char* name, long size)
{
    if (!name || size <= 0)
        return E_FAIL;
    name[0] = '\0';
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const auto& keys = m_ini.SubKeys();
    if (index < 0 || static_cast<unsigned long>(index) >= keys.size())
        return E_FAIL;
    CopyName(keys[static_cast<size_t>(index)], name, size);
    return S_OK;
}

int ZELK_Policy_File::CreateSubKey(const char*, signed char, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}

int ZELK_Policy_File::OpenSubKey(long index, ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    char name[kNameBuffer] = {};
    if (EnumSubKey(index, name, kNameBuffer) != S_OK)
        return E_FAIL;
    std::string path;
    std::string file;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        path = EqualNoCase(m_path, "/") ? std::string(name) : m_path + "/" + name;
        file = m_file;
    }
    CComObject<ZELK_Policy_File>* child = nullptr;
    HRESULT hr = CComObject<ZELK_Policy_File>::CreateInstance(&child);
    if (FAILED(hr))
        return hr;
    child->AddRef();
    child->Bind(path.c_str());
    // The sub-key object reads the file itself.
    child->SetConfigPath(file.c_str());
    hr = child->QueryInterface(IID_ZELK_IPolicy, reinterpret_cast<void**>(out));
    child->Release();
    return hr;
}

bool ZELK_Policy_File::IsChild(const char*)
{
    return false;
}
int ZELK_Policy_File::OpenChild(const char*, unsigned, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}
bool ZELK_Policy_File::IsChangeable(const char*)
{
    return false;
}
bool ZELK_Policy_File::IsFromPolicy(const char*)
{
    return true;
}

int ZELK_Policy_File::GetString(const char* name, char** value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::string text;
    if (!FindValue(name, &text))
        return E_FAIL;
    return NewText(IniFile::RemoveQuote(text), value);
}

unsigned ZELK_Policy_File::GetDWORD(const char* name)
{
    unsigned number = 0;
    GetDWORD(name, &number);
    return number;
}

int ZELK_Policy_File::GetDWORD(const char* name, unsigned* value)
{
    if (!value)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::string text;
    if (!FindValue(name, &text))
        return E_FAIL;
    *value = IniFile::ParseNumber(IniFile::RemoveQuote(text));
    return S_OK;
}

int ZELK_Policy_File::GetBinary(const char* name, OctetString** value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::string text;
    if (!FindValue(name, &text))
        return E_FAIL;
    std::string bytes;
    // A value that is not whole Base64 is no value: no buffer is handed out.
    if (FAILED(Base64Decode(IniFile::RemoveQuote(text), &bytes)))
        return E_FAIL;
    return NewOctetString(bytes, value);
}

int ZELK_Policy_File::SetString(const char* name, const char* value)
{
    if (!name || !value)
        return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_bound)
        return E_FAIL;
    HRESULT hr = m_ini.Set(m_path, name, value);
    if (FAILED(hr))
        return hr;
    m_unwritten = true;
    return FlushLocked();
}

// The number's 32 bits as a signed decimal (4294967295 is "-1"); reading
// either form gives the same number back.
int ZELK_Policy_File::SetDWORD(const char* name, unsigned value)
{
    return SetString(name, std::to_string(static_cast<int32_t>(value)).c_str());
}

int ZELK_Policy_File::SetBinary(const char* name, OctetString* value)
{
    if (!AcceptableBytes(value))
        return E_INVALIDARG;
    return SetString(name, Base64Encode(value->data, static_cast<size_t>(value->length)).c_str());
}

int ZELK_Policy_File::DeleteSubkey(const char*)
{
    return E_NOTIMPL;
}

int ZELK_Policy_File::SetConfigPath(const char* file)
{
    SECTRACE_Fkt_IMPL<int> fkt("%8x", "ZELK_Policy_File::Read_File");
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    try {
        m_file = file ? file : "";
    } catch (const std::bad_alloc&) {
        return fkt.result = E_OUTOFMEMORY;
    }
    m_unwritten = false;
    m_ini.Clear();
    HRESULT hr = m_ini.Read(m_file, m_path);
    return fkt.result = FAILED(hr) ? hr : S_OK;
}

int ZELK_Policy_File::RegisterCallback(ZELK::ISignal*)
{
    return E_NOTIMPL;
}

int ZELK_Policy_File::SetWriteThrough(signed char flag)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_writeThrough = flag != 0;
    return S_OK;
}

int ZELK_Policy_File::BindTemplate(const char*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_File::AddSignal(ZELK::ISignal*)
{
    return E_NOTIMPL;
}
int ZELK_Policy_File::RemoveSignal(ZELK::ISignal*)
{
    return E_NOTIMPL;
}

HRESULT ZELK_Policy_File::Flush()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return FlushLocked();
}

HRESULT ZELK_Policy_File::FlushLocked()
{
    SECTRACE_Fkt_IMPL<int> fkt("%8x", "ZELK_Policy_File::Flush");
    if (!m_unwritten)
        return fkt.result = S_OK;
    HRESULT hr = m_ini.Write(m_file);
    if (SUCCEEDED(hr))
        m_unwritten = false;
    return fkt.result = hr;
}

}  // namespace kestrin::policy
