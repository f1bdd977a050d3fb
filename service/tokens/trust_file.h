// Trusted certificates of certificate files: the PSE that the PSE provider
// module "zelkpse" makes for a "file:" name, read once per process.
#pragma once

#include "trust_provider.h"
#include "zelk_object.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {

class CTrustFile : public ITrustProvider, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTrustFile)
    ZELK_INTMAP_ENTRY(ITrustProvider)
    ZELK_END_INTMAP()

    CTrustFile() = default;
    ~CTrustFile() override;

    HRESULT SetURI(const char* uri) override;
    // Reads the files on the first call only; always 0.
    HRESULT Refresh() override;
    HRESULT GetCertList(SET_OF_Certificate** list) override;

private:
    SET_OF_Certificate* m_list = nullptr;
    StringT<char> m_path;
    StringT<char> m_uri;
    bool m_loaded = false;
};

}  // namespace ZELK::PSESVC
