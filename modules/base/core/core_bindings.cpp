#include "core_bindings.h"

#include "qev_pkcs12.h"
#include "zelk_module.h"

namespace kestrin::base {

API_COMMON* fptr__common_types = nullptr;
API_COMMON* fptr__crypt = nullptr;
API_COMMON* fptr__random = nullptr;
API_COMMON* fptr__encode = nullptr;
API_COMMON* fptr__pkcs12 = nullptr;
const API_COMMON* fptr__pkcs12_types = nullptr;

namespace {

// Binds "SEC_PKCS12_1" and fetches its type table with it.
class CLoadAPI_SEC_PKCS12 : public CLoadAPI {
public:
    CLoadAPI_SEC_PKCS12() : CLoadAPI(nullptr, SEC_PKCS12_API, &fptr__pkcs12) {}

    HRESULT Initialize() override
    {
        HRESULT hr = CLoadAPI::Initialize();
        if (SUCCEEDED(hr) && fptr__pkcs12_types == nullptr) {
            fptr__pkcs12_types = ZELK_ApiCast<SEC_PKCS12_TABLE>(fptr__pkcs12)->types();
            if (fptr__pkcs12_types == nullptr)
                return E_FAIL;
        }
        return hr;
    }

    HRESULT Finalize() override
    {
        fptr__pkcs12_types = nullptr;
        return CLoadAPI::Finalize();
    }
};

CLoadAPI OnDemand_Load_SEC_COMMON_TYPES(nullptr, "SEC_COMMONTYPES_1", &fptr__common_types);
CLoadAPI OnDemand_Load_SEC_CRYPT(nullptr, "SEC_CRYPT_1", &fptr__crypt);
CLoadAPI OnDemand_Load_SEC_ENCODE(nullptr, "SEC_ENCODE_1", &fptr__encode);
CLoadAPI_SEC_PKCS12 OnDemand_Load_SEC_PKCS12;
CLoadAPI OnDemand_Load_SEC_RANDOM(nullptr, "SEC_RANDOM_1", &fptr__random);

}  // namespace
}  // namespace kestrin::base
