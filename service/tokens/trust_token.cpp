#include "trust_token.h"

#include "token_manager.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

CTrustToken::~CTrustToken()
{
    ReleaseCertList(m_list);
}

HRESULT CTrustToken::SetURI(const char*)
{
    return S_OK;
}

HRESULT CTrustToken::Refresh()
{
    SET_OF_Certificate* list = nullptr;
    CTokenMgr* tokens = nullptr;
    if (SUCCEEDED(CTokenMgr::GetExisting(&tokens)) && tokens) {
        tokens->GetTrustedCertList(&list);
        tokens->Release();
    }
    if (CompareCertLists(list, m_list) == 0) {
        ReleaseCertList(list);
        return 1;
    }
    ReleaseCertList(m_list);
    m_list = list;
    SECTRACE_FormatLn(nullptr, 3, "Read Trust files from all token");
    TraceCertList(m_list);
    return S_OK;
}

HRESULT CTrustToken::GetCertList(SET_OF_Certificate** list)
{
    ShareCertList(m_list, list);
    return S_OK;
}

}  // namespace ZELK::PSESVC
