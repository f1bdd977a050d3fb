#include "model_kerberos.h"

#include <cwchar>

#include "../tokens/kerberos_api.h"
#include "model_text.h"
#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.kerberosinfo", static_cast<HRESULT (*)(const GUID&, void**)>(&CModelKerberos::New));

bool Same(const wchar_t* a, const wchar_t* b)
{
    if (a == nullptr || b == nullptr)
        return (a == nullptr || *a == L'\0') && (b == nullptr || *b == L'\0');
    return std::wcscmp(a, b) == 0;
}

const char* Value(const RetainedText& field)
{
    return field.IsEmpty() ? nullptr : field.Get();
}

}  // namespace

CModelKerberos::CModelKerberos() = default;

CModelKerberos::~CModelKerberos() = default;

HRESULT CModelKerberos::New(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!CKerberosAPI::IsAPIAvailable())
        return E_NOTIMPL;
    return CSingletonFactoryImpl<CModelKerberos>::New(iid, out);
}

const char* CModelKerberos::GetDisplayName()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_displayName);
}

const char* CModelKerberos::GetUPN()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_upn);
}

const char* CModelKerberos::GetDName()
{
    CriticalCodeSection lock(&m_cs);
    return Value(m_dname);
}

HRESULT CModelKerberos::Update(const wchar_t* displayName, const wchar_t* upn, const wchar_t* dname)
{
    bool changed = false;
    {
        CriticalCodeSection lock(&m_cs);
        const struct {
            const wchar_t* value;
            StringT<wchar_t>& wide;
            RetainedText& narrow;
        } fields[] = {{displayName, m_wDisplayName, m_displayName}, {upn, m_wUpn, m_upn}, {dname, m_wDName, m_dname}};
        for (const auto& field : fields) {
            if (Same(field.wide, field.value))
                continue;
            field.wide = field.value;
            field.narrow.Set(StringT<char>(field.value, 0));
            changed = true;
        }
    }
    if (!changed)
        return S_FALSE;
    NextRevision();
    return S_OK;
}

HRESULT CModelKerberos::RefreshItemInfo()
{
    SetSortKeyOnce("010/Kerberos");
    StringT<char> text;
    bool ticket = false;
    {
        CriticalCodeSection lock(&m_cs);
        ticket = !m_upn.IsEmpty();
        if (!ticket) {
            text = CModel::GetText("KERBEROS_TICKET_NOT_AVAILABLE", "");
        } else if (!m_displayName.IsEmpty()) {
            text = m_displayName.Get();
            text += " (";
            text += m_upn.Get();
            text += ")";
        } else {
            text = m_upn.Get();
        }
    }
    text += "\n";
    text += CModel::GetText("TOKEN_TYPE_KERBEROS", "");
    SetItemInfo(ticket ? ICON_KERBEROS_ACTIVE : ICON_KERBEROS, text);
    return S_OK;
}

}  // namespace ZELK::PSESVC
