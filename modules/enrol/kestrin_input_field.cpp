#include "kestrin_input_field.h"

#include <cstring>

namespace kestrin::enrol {

CKestrinInputField::~CKestrinInputField()
{
    // The user's answer may be a password.
    m_wstrValue.Burn();
    m_strValueURLEncoded.Burn();
}

HRESULT CKestrinInputField::New(CKestrinInputField** field)
{
    if (field == nullptr)
        return E_INVALIDARG;
    IKestrinInputField* object = nullptr;
    HRESULT hr = CFactoryImpl<CKestrinInputField>::New(IID_IKestrinInputField, reinterpret_cast<void**>(&object));
    *field = SUCCEEDED(hr) ? static_cast<CKestrinInputField*>(object) : nullptr;
    return hr;
}

HRESULT CKestrinInputField::New(IJsonObject* description, CKestrinInputField** field)
{
    if (description == nullptr || field == nullptr)
        return E_INVALIDARG;
    HRESULT hr = New(field);
    if (FAILED(hr))
        return hr;
    (*field)->SetField(description->getMemberStringValueStatic("field"));
    (*field)->SetType(description->getMemberStringValueStatic("type"));
    (*field)->SetPreset(description->getMemberStringValueStatic("preset"));
    (*field)->SetUserPrompt(description->getMemberStringValueStatic("userprompt"));
    (*field)->SetConfirmField(description->getMemberStringValueStatic("confirmField"));
    return S_OK;
}

void CKestrinInputField::RemoveTrailingColon(const char* text, char** result)
{
    if (result == nullptr)
        return;
    StringT<char> copy(text);
    if (!copy.IsEmpty()) {
        String_Chop(copy.GetBuffer(0));
        const size_t n = copy.GetLength();
        if (n > 1 && static_cast<const char*>(copy)[n - 1] == ':')
            copy.SetAt(n - 1, '\0');
    }
    *result = copy.Detach();
}

void CKestrinInputField::SetUserPrompt(const char* text)
{
    RemoveTrailingColon(text, &m_strUserPrompt);
    m_wstrUserPrompt = StringT<wchar_t>(static_cast<const char*>(m_strUserPrompt), 65001);
}

void CKestrinInputField::SetPreset(const char* text)
{
    m_strPreset = text;
    m_wstrPreset = StringT<wchar_t>(text, 65001);
}

HRESULT CKestrinInputField::SetValue(const wchar_t* value)
{
    m_wstrValue.Burn();
    m_wstrValue = value;
    m_strValueURLEncoded.Burn();
    m_strValueURLEncoded.Free();
    StringT<char> utf8(value, 65001);
    if (utf8) {
        m_strValueURLEncoded = utf8;
        m_strValueURLEncoded.URLEncode();
        utf8.Burn();
    }
    return S_OK;
}

}  // namespace kestrin::enrol
