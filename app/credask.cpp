#include "credask.h"

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_strings.h"

namespace kestrin::app {

using ZELK::PSESVC::ICredUIAsk;

namespace {

struct Preset {
    const char* label;
    signed char password;
    // -1 leaves the verify flag as it is.
    signed char verify;
};

// Indexed by preset value - 1.
const Preset s_presets[] = {
    {"Password", 1, -1}, {"New Password", 1, -1}, {"Confirm", 1, 1},   {"PIN", 1, -1},       {"New PIN", 1, -1},
    {"PUK", 1, -1},      {"New PUK", 1, -1},      {"Username", 0, -1}, {"Tokencode", 1, -1},
};

void Drop(char*& text, bool wipe)
{
    if (text && wipe)
        String_Burn(text);
    sec_free(text);
    text = nullptr;
}

void Drop(wchar_t*& text, bool wipe)
{
    if (text && wipe)
        String_Burn(text);
    sec_free(text);
    text = nullptr;
}

}  // namespace

// Both forms are made before the old ones go, so a failed copy keeps the text.
template <class C>
HRESULT CCredUIAsk::Text::SetFrom(const C* text, const C* current, bool wipe)
{
    if (text != nullptr && text == current)
        return S_OK;
    char* newNarrow = nullptr;
    wchar_t* newWide = nullptr;
    if (text && (FAILED(String_Copy(text, &newNarrow)) || FAILED(String_Copy(text, &newWide)))) {
        Drop(newNarrow, wipe);
        Drop(newWide, wipe);
        return E_OUTOFMEMORY;
    }
    Clear(wipe);
    narrow = newNarrow;
    wide = newWide;
    return S_OK;
}

HRESULT CCredUIAsk::Text::Set(const char* text, bool wipe)
{
    return SetFrom(text, narrow, wipe);
}

HRESULT CCredUIAsk::Text::Set(const wchar_t* text, bool wipe)
{
    return SetFrom(text, wide, wipe);
}

void CCredUIAsk::Text::Clear(bool wipe)
{
    Drop(narrow, wipe);
    Drop(wide, wipe);
}

CCredUIAsk::~CCredUIAsk()
{
    m_value.Clear(true);
    m_label.Clear(false);
    m_name.Clear(false);
    if (m_field)
        m_field->Release();
}

HRESULT CCredUIAsk::LoadPreset(ASK_PRESETS preset, const char*, signed char)
{
    if (preset < 1 || preset > static_cast<int>(sizeof s_presets / sizeof s_presets[0]))
        return S_OK;
    const Preset& row = s_presets[preset - 1];
    HRESULT hr = m_label.Set(row.label, false);
    if (FAILED(hr))
        return hr;
    m_password = row.password;
    if (row.verify >= 0)
        m_verify = row.verify;
    return S_OK;
}

HRESULT CCredUIAsk::LoadPresetW(ASK_PRESETS preset, const wchar_t*, signed char flag)
{
    // The name is not used, so there is nothing to convert.
    return LoadPreset(preset, nullptr, flag);
}

HRESULT CCredUIAsk::ValueSet()
{
    // A server field takes no NULL: a cleared value reaches it as empty text.
    if (m_field)
        m_field->SetValue(m_value.wide ? m_value.wide : L"");
    return S_OK;
}

HRESULT CCredUIAsk::SetValue(const char* value)
{
    HRESULT hr = m_value.Set(value, true);
    return FAILED(hr) ? hr : ValueSet();
}

HRESULT CCredUIAsk::SetValueW(const wchar_t* value)
{
    HRESULT hr = m_value.Set(value, true);
    return FAILED(hr) ? hr : ValueSet();
}

HRESULT CCredUIAsk::SetDisabled(signed char disabled)
{
    m_disabled = disabled ? 1 : 0;
    return S_OK;
}

HRESULT CCredUIAsk::SetPassword(signed char password)
{
    m_password = password ? 1 : 0;
    return S_OK;
}

HRESULT CCredUIAsk::SetVerify(signed char verify)
{
    m_verify = verify ? 1 : 0;
    return S_OK;
}

HRESULT CCredUIAsk::SetLabel(const char* label)
{
    return m_label.Set(label, false);
}

HRESULT CCredUIAsk::SetLabelW(const wchar_t* label)
{
    return m_label.Set(label, false);
}

HRESULT CCredUIAsk::SetName(const char* name)
{
    return m_name.Set(name, false);
}

HRESULT CCredUIAsk::SetNameW(const wchar_t* name)
{
    return m_name.Set(name, false);
}

HRESULT CCredUIAsk::AddKVInputField(IKestrinInputField* field)
{
    if (field)
        field->AddRef();
    if (m_field)
        m_field->Release();
    m_field = field;
    return S_OK;
}

bool CCredUIAsk::isMyVerifyField(ICredUIAsk* other)
{
    if (other == nullptr || m_field == nullptr)
        return false;
    auto* ours = dynamic_cast<CCredUIAsk*>(other);
    IKestrinInputField* otherField = ours ? ours->ServerField() : nullptr;
    if (otherField == nullptr)
        return false;
    const char* confirm = otherField->GetConfirmField();
    const char* name = m_field->GetField();
    return confirm && name && std::strcmp(confirm, name) == 0;
}

}  // namespace kestrin::app
