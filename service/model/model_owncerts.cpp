#include "model_owncerts.h"

#include "../tokens/token.h"
#include "model_text.h"
#include "qev_time.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_secTime = nullptr;
CLoadAPI s_loadSecTime(nullptr, SEC_TIME_API, &s_secTime);

CZELK_CLASS s_ownCerts("zelk", "zelk.model.owncerts", &CSingletonFactoryImpl<CModelOwnCerts>::New);
CZELK_CLASS s_disabledCerts("zelk", "zelk.model.disabledcerts", &CSingletonFactoryImpl<CModelDisabledCerts>::New);

const SEC_TYPE_TABLE* PciType()
{
    return SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
}

// The kind line of a slot, by its prefix without case.
const char* SlotKindText(const char* slot)
{
    const struct {
        const char* prefix;
        const char* key;
    } kinds[] = {
        {"toksw:mem://kestrin/", "TOKEN_TYPE_KESTRIN"},
        {"tokcapi", "TOKEN_TYPE_CAPI"},
        {"tokkeychain", "TOKEN_TYPE_KEYCHAIN"},
        {"secpcsc", "TOKEN_TYPE_PKCS11"},
    };
    for (const auto& kind : kinds)
        if (String_StartsWithNoCase(slot, kind.prefix))
            return CModel::GetText(kind.key, nullptr);
    return nullptr;
}

// Seconds of a certificate time text; false when it does not read.
bool TimeSeconds(const char* text, int64_t* seconds)
{
    auto* time = ZELK_ApiCast<SEC_TIME_TABLE>(s_secTime);
    return time != nullptr && text != nullptr && SUCCEEDED(time->to_seconds(text, seconds));
}

IGUIModelOwnCert* AsInterface(CModelOwnCert* item)
{
    return item;
}

}  // namespace

HRESULT CModelOwnCert::New(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CModelOwnCert>* item = nullptr;
    HRESULT hr = CComObject<CModelOwnCert>::CreateInstance(&item);
    if (FAILED(hr))
        return hr;
    AsInterface(item)->AddRef();
    if (pci != nullptr && PciType() != nullptr) {
        void* copy = nullptr;
        hr = PciType()->copy(pci, &copy);
        if (FAILED(hr)) {
            AsInterface(item)->Release();
            return hr;
        }
        item->m_pci.Attach(static_cast<PersonalCertificateInfo*>(copy));
    }
    item->m_slot = slot;
    *out = item;
    return S_OK;
}

const Certificate* CModelOwnCert::GetCert()
{
    return m_pci != nullptr ? m_pci->certificate : nullptr;
}

const char* CModelOwnCert::GetFingerprint()
{
    CriticalCodeSection lock(GetCriticalSection());
    CModelCert::GetFingerprint(GetCert(), m_fingerprint);
    return m_fingerprint.IsEmpty() ? "" : static_cast<const char*>(m_fingerprint);
}

const char* CModelOwnCert::GetURI()
{
    if (m_pci != nullptr && m_pci->tokenName != nullptr)
        return m_pci->tokenName;
    return m_slot;
}

const char* CModelOwnCert::GetTokenURI()
{
    if (m_pci != nullptr)
        return m_pci->tokenName;
    return m_slot;
}

bool CModelOwnCert::IsEqual(const PersonalCertificateInfo* pci)
{
    if (m_pci == nullptr || pci == nullptr || PciType() == nullptr)
        return false;
    return PciType()->compare(m_pci, pci) == 0;
}

bool CModelOwnCert::IsInSlot(const char* slot)
{
    return slot != nullptr && String_Compare(m_slot, slot) == 0;
}

HRESULT CModelOwnCert::RefreshItemInfo()
{
    const char* slot = GetSlot();
    StringT<char> text = CertSubjectText(GetCert());
    StringT<char> key("030/Cert/");
    key += text;
    SetSortKeyOnce(key);
    if (!String_IsEmpty(slot)) {
        text += "\n";
        const char* kind = SlotKindText(slot);
        if (kind != nullptr)
            text += kind;
    }
    SetItemInfo(ICON_CERT_ACTIVE, text);
    return S_OK;
}

int CModelOwnCert::Compare(IGUIModelCert* other)
{
    void* found = nullptr;
    if (other == nullptr || FAILED(other->QueryInterface(IID_CModelOwnCert, &found)))
        return 1;
    auto* item = static_cast<CModelOwnCert*>(static_cast<IGUIModelOwnCert*>(found));
    int answer = 0;
    const Certificate* own = GetCert();
    const Certificate* theirs = item->GetCert();
    if (own != nullptr && theirs != nullptr) {
        StringT<char> a = CertSubjectText(own);
        StringT<char> b = CertSubjectText(theirs);
        answer = String_CompareNoCase(a, b);
        if (answer == 0)
            answer = String_Compare(a, b);
        int64_t startA = 0, startB = 0;
        if (answer == 0 && TimeSeconds(const_cast<Certificate*>(own)->getNotBefore(), &startA)
            && TimeSeconds(const_cast<Certificate*>(theirs)->getNotBefore(), &startB) && startA != startB)
            answer = startA > startB ? -1 : 1;
    }
    if (answer == 0 && PciType() != nullptr)
        answer = PciType()->compare(m_pci, item->m_pci);
    AsInterface(item)->Release();
    return answer;
}

HRESULT CModelOwnCertsBase::AddCert(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out)
{
    if (out != nullptr)
        *out = nullptr;
    auto answerExisting = [&]() -> bool {
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            if (m_elements[i]->IsEqual(pci)) {
                if (out != nullptr) {
                    *out = m_elements[i];
                    AsInterface(*out)->AddRef();
                }
                return true;
            }
        }
        return false;
    };
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (answerExisting())
            return S_OK;
    }
    // The item and the token's verbs are made without the lock: the token
    // manager may wait for its monitors.
    CModelOwnCert* item = nullptr;
    HRESULT hr = CModelOwnCert::New(pci, slot, &item);
    if (FAILED(hr))
        return hr;
    CToken* token = nullptr;
    if (FindToken(pci != nullptr ? pci->tokenName : nullptr, &token) == S_OK) {
        unsigned long count = 0;
        IGUIVerb** verbs = nullptr;
        if (SUCCEEDED(token->GetVerbs(&count, &verbs)))
            item->AddVerbs(count, verbs);
        token->Release();
    }
    {
        CriticalCodeSection lock(GetCriticalSection());
        // Another thread may have added the same credential meanwhile.
        if (answerExisting()) {
            AsInterface(item)->Release();
            return S_OK;
        }
        hr = m_elements.Add(item);
    }
    if (FAILED(hr)) {
        AsInterface(item)->Release();
        return hr;
    }
    if (out != nullptr)
        *out = item;
    else
        AsInterface(item)->Release();
    NextRevision();
    return S_OK;
}

HRESULT CModelOwnCertsBase::DelCert(const PersonalCertificateInfo* pci)
{
    DeleteAndNotify([pci](CModelOwnCert* element) { return element->IsEqual(pci); }, true);
    return S_OK;
}

HRESULT CModelOwnCertsBase::DelCertsBySlot(const char* slot)
{
    DeleteAndNotify([slot](CModelOwnCert* element) { return element->IsInSlot(slot); }, false);
    return S_OK;
}

HRESULT CModelDisabledCerts::Existing(CModelDisabledCerts** out)
{
    *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return S_FALSE;
    static_cast<IGUIModelOwnCerts*>(s_pThis)->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CModelOwnCerts::AddCert(const PersonalCertificateInfo* pci, const char* slot, CModelOwnCert** out,
                                bool disabled)
{
    if (!disabled)
        return CModelOwnCertsBase::AddCert(pci, slot, out);
    CModelDisabledCerts* disabledCerts = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelDisabledCerts>::New(&disabledCerts);
    if (FAILED(hr))
        return hr;
    hr = disabledCerts->AddCert(pci, slot, out);
    static_cast<IGUIModelOwnCerts*>(disabledCerts)->Release();
    return hr;
}

HRESULT CModelOwnCerts::DelCert(const PersonalCertificateInfo* pci)
{
    CModelDisabledCerts* disabledCerts = nullptr;
    if (CModelDisabledCerts::Existing(&disabledCerts) == S_OK) {
        disabledCerts->DelCert(pci);
        static_cast<IGUIModelOwnCerts*>(disabledCerts)->Release();
    }
    return CModelOwnCertsBase::DelCert(pci);
}

HRESULT CModelOwnCerts::DelCertsBySlot(const char* slot)
{
    CModelDisabledCerts* disabledCerts = nullptr;
    if (CModelDisabledCerts::Existing(&disabledCerts) == S_OK) {
        disabledCerts->DelCertsBySlot(slot);
        static_cast<IGUIModelOwnCerts*>(disabledCerts)->Release();
    }
    return CModelOwnCertsBase::DelCertsBySlot(slot);
}

HRESULT CModelOwnCerts::GetCert(const PersonalCertificateInfo* pci, CModelOwnCert** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 0; i < m_elements.Count(); ++i) {
        if (m_elements[i]->IsEqual(pci)) {
            *out = m_elements[i];
            AsInterface(*out)->AddRef();
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CModelOwnCerts::GetCertBySlot(const char* slot, unsigned long index, IGUIModelOwnCert** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 0; i < m_elements.Count(); ++i) {
        if (!m_elements[i]->IsInSlot(slot))
            continue;
        if (index-- == 0) {
            *out = m_elements[i];
            (*out)->AddRef();
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CModelOwnCerts::Refresh(const char* tokenName)
{
    CToken* token = nullptr;
    if (FindToken(tokenName, &token) != S_OK)
        return S_OK;
    const bool loggedOut = token->NeedLogin();
    const bool certs = token->HaveCerts();
    unsigned long count = 0;
    IGUIVerb** verbs = nullptr;
    if (SUCCEEDED(token->GetVerbs(&count, &verbs))) {
        for (unsigned long i = 0; i < count; ++i) {
            IGUIVerb* verb = verbs[i];
            if (verb == nullptr)
                continue;
            const char* name = verb->GetVerbName();
            const bool hidden = (verb->GetState() & IGUIVerb_State_Hidden) != 0;
            uint32_t state = 0;
            if (String_Compare(name, "verb.login") == 0) {
                if (hidden)
                    continue;
                state = !loggedOut ? IGUIVerb_State_Disabled : certs ? IGUIVerb_State_Enabled : IGUIVerb_State_Default;
            } else if (String_Compare(name, "verb.login.as") == 0) {
                if (hidden)
                    continue;
                state = loggedOut ? IGUIVerb_State_Enabled : IGUIVerb_State_Disabled;
            } else if (String_Compare(name, "verb.logout") == 0) {
                state = loggedOut ? IGUIVerb_State_Disabled : IGUIVerb_State_Enabled;
            } else if (String_Compare(name, "verb.show.cert") == 0) {
                state = certs ? IGUIVerb_State_Default : IGUIVerb_State_Disabled;
            } else {
                continue;
            }
            verb->SetState(state);
        }
    }
    token->Release();
    return S_OK;
}

}  // namespace ZELK::PSESVC
