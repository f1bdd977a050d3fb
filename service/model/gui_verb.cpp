#include "gui_verb.h"

#include <cstdint>

#include "model_text.h"
#include "zelk_alloc.h"

namespace ZELK::PSESVC {
namespace {

struct VerbText {
    const char* verb;
    const char* key;
    const char* fallback;
};

const VerbText s_verbTexts[] = {
    {"verb.login", "MENU_LOGIN", nullptr},
    {"verb.login.as", "MENU_LOGIN_AS", nullptr},
    {"verb.logout", "MENU_LOGOUT", nullptr},
    {"verb.update", "MENU_UPDATE", nullptr},
    {"verb.changepin", "MENU_CHANGE_PIN", nullptr},
    {"verb.unblockpin", "MENU_UNBLOCK_PIN", nullptr},
    {"verb.show.cert", "MENU_SHOW_CERT", nullptr},
    {"verb.usefor.qev", "MENU_USE_FOR_QEV", nullptr},
    {"verb.toggle.EncryptionOnlyMode", "MENU_TOGGLE_ENCRYPTION_ONLY_MODE", "Toggle Encryption Only Mode"},
};

}  // namespace

const char* CGUIVerb::GetVerbDisplayName()
{
    CriticalCodeSection lock(&m_csDisplay);
    if (!m_display.IsEmpty())
        return m_display;
    const char* name = m_name;
    const char* text = name;
    for (const VerbText& entry : s_verbTexts) {
        if (String_Compare(name, entry.verb) == 0) {
            text = CModel::GetText(entry.key, entry.fallback);
            break;
        }
    }
    m_display = text;
    return m_display;
}

CGUIModelVerbs::~CGUIModelVerbs()
{
    for (uint64_t i = m_count; i > 0; --i)
        m_verbs[i - 1]->Release();
    sec_free(m_verbs);
}

uint64_t CGUIModelVerbs::GetVerbCount()
{
    CriticalCodeSection lock(&m_csVerbs);
    return m_count;
}

HRESULT CGUIModelVerbs::GetVerb(unsigned long index, IGUIVerb** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(&m_csVerbs);
    if (index >= m_count)
        return E_FAIL;
    *out = m_verbs[index];
    (*out)->AddRef();
    return S_OK;
}

HRESULT CGUIModelVerbs::SetVerbs(unsigned long count, IGUIVerb** verbs)
{
    if (count > 0 && verbs == nullptr)
        return E_INVALIDARG;
    IGUIVerb** fresh = nullptr;
    uint64_t kept = 0;
    if (count > 0) {
        if (count > SIZE_MAX / sizeof(IGUIVerb*))
            return E_OUTOFMEMORY;
        fresh = static_cast<IGUIVerb**>(sec_malloc(count * sizeof(IGUIVerb*)));
        if (fresh == nullptr)
            return E_OUTOFMEMORY;
        for (unsigned long i = 0; i < count; ++i) {
            if (verbs[i] == nullptr)
                continue;
            verbs[i]->AddRef();
            fresh[kept++] = verbs[i];
        }
    }
    IGUIVerb** old = nullptr;
    uint64_t oldCount = 0;
    {
        CriticalCodeSection lock(&m_csVerbs);
        old = m_verbs;
        oldCount = m_count;
        m_verbs = fresh;
        m_count = kept;
    }
    for (uint64_t i = oldCount; i > 0; --i)
        old[i - 1]->Release();
    sec_free(old);
    return S_OK;
}

HRESULT CGUIModelVerbs::AddVerbs(unsigned long count, IGUIVerb** verbs)
{
    if (count == 0)
        return S_OK;
    if (verbs == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csVerbs);
    if (count > SIZE_MAX / sizeof(IGUIVerb*) - m_count)
        return E_OUTOFMEMORY;
    auto* grown = static_cast<IGUIVerb**>(sec_realloc(m_verbs, (m_count + count) * sizeof(IGUIVerb*)));
    if (grown == nullptr)
        return E_OUTOFMEMORY;
    m_verbs = grown;
    for (unsigned long i = 0; i < count; ++i) {
        if (verbs[i] == nullptr)
            continue;
        verbs[i]->AddRef();
        m_verbs[m_count++] = verbs[i];
    }
    return S_OK;
}

}  // namespace ZELK::PSESVC
