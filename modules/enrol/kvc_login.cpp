#include "kvc_login.h"

#include <cstring>
#include <new>

namespace kestrin::enrol {
namespace {

constexpr unsigned kUtf8 = 65001;

}  // namespace

HRESULT KVC_LoginItem::Make(KVC_LoginItem** out)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_ILoginItem* object = nullptr;
    HRESULT hr = CFactoryImpl<KVC_LoginItem>::New(IID_KVC_ILoginItem, reinterpret_cast<void**>(&object));
    *out = SUCCEEDED(hr) ? static_cast<KVC_LoginItem*>(object) : nullptr;
    return hr;
}

HRESULT KVC_LoginItem::New(KVC_LoginItem** out, IKestrinInputField* field)
{
    if (field == nullptr)
        return E_INVALIDARG;
    HRESULT hr = Make(out);
    if (FAILED(hr))
        return hr;
    KVC_LoginItem* item = *out;
    item->m_field = field;
    // Only the field types that show what is typed stay plain: a type the
    // client does not know may be a secret.
    const char* type = field->GetType();
    const bool plain = type != nullptr && (std::strcmp(type, "input") == 0 || std::strcmp(type, "text") == 0);
    item->m_type = plain ? 0 : 1;
    item->m_label = field->GetUserPrompt();
    item->m_value = field->GetPreset();
    return S_OK;
}

HRESULT KVC_LoginItem::New(KVC_LoginItem** out, int32_t type, const char* label, const char* value)
{
    HRESULT hr = Make(out);
    if (FAILED(hr))
        return hr;
    (*out)->m_type = type;
    (*out)->m_label = label;
    (*out)->m_value = value;
    return S_OK;
}

KVC_LoginItem::~KVC_LoginItem()
{
    m_value.Burn();
}

HRESULT KVC_LoginItem::setItemValue(const char* value)
{
    m_value.Burn();
    m_value = value;
    if (m_field) {
        StringT<wchar_t> wide(value != nullptr ? value : "", kUtf8);
        m_field->SetValue(wide);
        wide.Burn();
    }
    return S_OK;
}

HRESULT KVC_LoginData::Make(KVC_LoginData** out)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_ILoginData* object = nullptr;
    HRESULT hr = CFactoryImpl<KVC_LoginData>::New(IID_KVC_ILoginData, reinterpret_cast<void**>(&object));
    *out = SUCCEEDED(hr) ? static_cast<KVC_LoginData*>(object) : nullptr;
    return hr;
}

HRESULT KVC_LoginData::Add(KVC_LoginItem* item)
{
    try {
        m_items.push_back(item);
    } catch (const std::bad_alloc&) {
        item->Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT KVC_LoginData::New(KVC_LoginData** out, IKestrin* client)
{
    if (client == nullptr)
        return E_INVALIDARG;
    HRESULT hr = Make(out);
    if (FAILED(hr))
        return hr;
    for (unsigned long index = 0;; ++index) {
        IKestrinInputField* field = nullptr;
        if (FAILED(client->GetInputObjects(index, &field)) || field == nullptr)
            break;
        KVC_LoginItem* item = nullptr;
        hr = KVC_LoginItem::New(&item, field);
        field->Release();
        if (SUCCEEDED(hr))
            hr = (*out)->Add(item);
        if (FAILED(hr)) {
            (*out)->Release();
            *out = nullptr;
            return hr;
        }
    }
    return S_OK;
}

HRESULT KVC_LoginData::New_UsernamePassword(KVC_LoginData** out)
{
    HRESULT hr = Make(out);
    if (FAILED(hr))
        return hr;
    const struct {
        int32_t type;
        const char* label;
    } items[] = {{0, "Username"}, {1, "Password"}};
    for (const auto& description : items) {
        KVC_LoginItem* item = nullptr;
        hr = KVC_LoginItem::New(&item, description.type, description.label, nullptr);
        if (SUCCEEDED(hr))
            hr = (*out)->Add(item);
        if (FAILED(hr)) {
            (*out)->Release();
            *out = nullptr;
            return hr;
        }
    }
    return S_OK;
}

KVC_LoginData::~KVC_LoginData()
{
    for (KVC_ILoginItem* item : m_items)
        item->Release();
}

HRESULT KVC_LoginData::login()
{
    m_answered.Signal();
    return S_OK;
}

HRESULT KVC_LoginData::cancel()
{
    m_answered.Signal();
    return S_OK;
}

HRESULT KVC_LoginData::getItem(unsigned long index, KVC_ILoginItem** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (index >= m_items.size())
        return E_FAIL;
    m_items[index]->AddRef();
    *out = m_items[index];
    return S_OK;
}

HRESULT KVC_LoginData::GetValues(wchar_t** first, wchar_t** second, wchar_t** third)
{
    wchar_t** outs[] = {first, second, third};
    for (size_t i = 0; i < 3; ++i) {
        if (outs[i] == nullptr)
            continue;
        *outs[i] = nullptr;
        if (i >= m_items.size())
            continue;
        const char* value = m_items[i]->getItemValue();
        StringT<wchar_t> wide(value != nullptr ? value : "", kUtf8);
        *outs[i] = wide.Detach();
    }
    return S_OK;
}

HRESULT KVC_LoginData::SetMessageW(const wchar_t* message)
{
    m_message = StringT<char>(message, kUtf8);
    return S_OK;
}

}  // namespace kestrin::enrol
