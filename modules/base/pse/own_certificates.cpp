#include "own_certificates.h"

#include <mutex>

#include "core/core_bindings.h"
#include "pse_access.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

API_COMMON* fptr__pse = nullptr;
CUnloadAPI s_unloadPse(&fptr__pse);
std::mutex s_bindPse;

CZELK_CLASS s_ownCertificates("zelkbase", ZELK_CLASS_OWN_CERTIFICATES, COwnCertificates::New);

// A copy of `text` in *value through the library's text type; the receiver owns it.
void AnswerText(SECAttribute* a, const char* text)
{
    const SEC_TYPE_TABLE* strings = CommonType(SEC_TYPE_String);
    void* copy = nullptr;
    if (text != nullptr && strings != nullptr && strings->copy != nullptr)
        strings->copy(text, &copy);
    a->value = copy;
    a->owned = copy != nullptr ? 1 : 0;
    a->type = copy != nullptr ? strings : nullptr;
}

}  // namespace

HRESULT COwnCertificate::New(PersonalCertificateInfo* record, COwnCertificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<COwnCertificate>* object = nullptr;
    HRESULT hr = CComObject<COwnCertificate>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    object->Init(record);
    *out = object;
    return S_OK;
}

HRESULT COwnCertificate::Init(PersonalCertificateInfo* record)
{
    m_record = record;
    return S_OK;
}

int COwnCertificate::SetAttr(const SECAttribute*)
{
    return E_ACCESSDENIED;
}

int COwnCertificate::GetAttr(SECAttribute* attributes)
{
    const PersonalCertificateInfo* record = m_record;
    int result = S_OK;
    for (SECAttribute* a = attributes; a != nullptr; a = a->next) {
        a->answered = 1;
        switch (a->id) {
        case ZELK_ATTR_OWNCERT_TOKEN_URI:
            AnswerText(a, record != nullptr ? record->tokenName : nullptr);
            break;
        case ZELK_ATTR_OWNCERT_KEY_ID:
            AnswerText(a, record != nullptr ? record->keyId : nullptr);
            break;
        case ZELK_ATTR_OWNCERT_LABEL:
            AnswerText(a, record != nullptr ? record->label : nullptr);
            break;
        default:
            a->answered = 0;
            result = S_FALSE;
            break;
        }
    }
    return result;
}

bool COwnCertificate::Match(PersonalCertificateInfo* record)
{
    return record != nullptr && record == static_cast<PersonalCertificateInfo*>(m_record);
}

COwnCertificates::COwnCertificates()
{
    Refresh();
}

HRESULT COwnCertificates::New(const GUID& iid, void** out)
{
    {
        std::lock_guard<std::mutex> lock(s_bindPse);
        if (fptr__pse == nullptr) {
            HRESULT hr = ZELK_GetAPI(nullptr, "SEC_PSE_1", &fptr__pse);
            if (FAILED(hr))
                return hr;
        }
    }
    return CSingletonFactoryImpl<COwnCertificates>::New(iid, out);
}

HRESULT COwnCertificates::Refresh()
{
    AuxPtr<SET_OF_PersonalCertificateInfo, SET_OF_PersonalCertificateInfo> list;
    {
        AuxRefPtr<PSE, PSE> pse;
        if (SUCCEEDED(ASC_GetPSE(&pse)) && FAILED(pse->getOwnCertificate(nullptr, nullptr, &list)))
            list.Free();
    }

    unsigned long count = 0;
    for (SET_OF_PersonalCertificateInfo* n = list; n != nullptr; n = n->next)
        if (n->element != nullptr)
            ++count;
    COwnCertificate** items = nullptr;
    if (count > 0) {
        items = static_cast<COwnCertificate**>(sec_calloc(count, sizeof(COwnCertificate*)));
        if (items == nullptr)
            return S_OK;
    }

    unsigned long filled = 0;
    for (SET_OF_PersonalCertificateInfo* n = list; n != nullptr; n = n->next) {
        if (n->element == nullptr)
            continue;
        COwnCertificate* item = nullptr;
        for (unsigned long i = 0; i < m_count && item == nullptr; ++i) {
            if (m_items[i] != nullptr && m_items[i]->Match(n->element)) {
                item = m_items[i];
                m_items[i] = nullptr;
            }
        }
        if (item == nullptr && SUCCEEDED(COwnCertificate::New(n->element, &item)))
            n->element = nullptr;
        if (item != nullptr)
            items[filled++] = item;
    }

    for (unsigned long i = 0; i < m_count; ++i)
        if (m_items[i] != nullptr)
            m_items[i]->Release();
    sec_free(m_items);
    m_items = items;
    m_count = filled;
    m_capacity = count;
    return S_OK;
}

}  // namespace kestrin::base
