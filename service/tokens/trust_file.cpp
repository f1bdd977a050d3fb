#include "trust_file.h"

#include "qev_attributes.h"
#include "qev_pse.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr const char* kFilePrefix = "file:///";

}  // namespace

CTrustFile::~CTrustFile()
{
    ReleaseCertList(m_list);
}

HRESULT CTrustFile::SetURI(const char* uri)
{
    m_uri.Assign(uri);
    if (String_StartsWithNoCase(uri, kFilePrefix))
        m_path.Assign(uri + String_Length(kFilePrefix));
    return S_OK;
}

HRESULT CTrustFile::Refresh()
{
    if (m_loaded)
        return S_OK;
    m_loaded = true;
    API_COMMON* table = nullptr;
    if (FAILED(ZELK_GetAPI("zelkpse", "SEC_PSE_1", &table)) || table == nullptr)
        return S_OK;
    SECAttribute name {};
    name.id = SEC_ATTR_PSE_NAME;
    name.value = const_cast<char*>(static_cast<const char*>(m_uri));
    PSE* pse = nullptr;
    const auto* provider = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    if (provider->create_PSE && SUCCEEDED(provider->create_PSE(&pse, nullptr, &name)) && pse) {
        SET_OF_Certificate* list = nullptr;
        if (SUCCEEDED(pse->getTrustedCertList(&list))) {
            ReleaseCertList(m_list);
            m_list = list;
        } else {
            ReleaseCertList(list);
        }
        pse->Release();
    }
    ZELK_ReleaseAPI(&table);
    SECTRACE_FormatLn(nullptr, 3, "Read Trust files from %s", m_uri.IsEmpty() ? "" : static_cast<const char*>(m_uri));
    TraceCertList(m_list);
    return S_OK;
}

HRESULT CTrustFile::GetCertList(SET_OF_Certificate** list)
{
    ShareCertList(m_list, list);
    return S_OK;
}

}  // namespace ZELK::PSESVC
