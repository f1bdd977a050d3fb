// The bound string tables of this deliverable and their binders. Every
// deliverable binds "String.1", "MultiString.1", "StringW.1" and
// "MultiStringW.1" of module "zelkstring" when it starts, in this order.
#include "zelk_strings.h"

#include "zelk_module.h"

API_COMMON* STRING_TABLE = nullptr;
API_COMMON* STRINGW_TABLE = nullptr;
API_COMMON* MULTISTRING_TABLE = nullptr;
API_COMMON* MULTISTRINGW_TABLE = nullptr;

namespace {

// A table that this deliverable exports itself (the string module binding its
// own tables) is taken from its own registrations: asking the crypto library
// for it would load the module again from inside its own start. Such a table
// is not released through the library at the stop either.
class CLoadStringAPI : public CLoadAPI {
public:
    CLoadStringAPI(const char* moduleName, const char* apiName, API_COMMON** variable)
        : CLoadAPI(moduleName, apiName, variable)
    {}

    HRESULT Initialize() override
    {
        if (*var)
            return S_OK;
        if (CZELK_API::GetAPI(api, var) == S_OK) {
            m_own = true;
            return S_OK;
        }
        return CLoadAPI::Initialize();
    }

    HRESULT Finalize() override
    {
        if (!m_own)
            return CLoadAPI::Finalize();
        *var = nullptr;
        m_own = false;
        return S_OK;
    }

private:
    bool m_own = false;
};

CLoadStringAPI dynload_base_string(ZELK_STRING_MODULE, ZELK_STRING_API, &STRING_TABLE);
CLoadStringAPI dynload_multi_string(ZELK_STRING_MODULE, ZELK_MULTISTRING_API, &MULTISTRING_TABLE);
CLoadStringAPI dynload_base_stringw(ZELK_STRING_MODULE, ZELK_STRINGW_API, &STRINGW_TABLE);
CLoadStringAPI dynload_multi_stringw(ZELK_STRING_MODULE, ZELK_MULTISTRINGW_API, &MULTISTRINGW_TABLE);

}  // namespace
