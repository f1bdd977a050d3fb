// A PSE provider module for the tests of HTTPS: its PSE's trusted list is
// the DER certificate files named, ":"-separated, by QEV_TRUSTPSE_FILES, read
// through the library's certificate type on each call. Everything else
// answers 0x80000001.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "qev_values.h"
#include "unanswered_pse.h"

namespace {

SEC_FUNCTION_LIST* s_list = nullptr;

HRESULT ReadTrustedList(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    API_COMMON* types = nullptr;
    const char* files = std::getenv("QEV_TRUSTPSE_FILES");
    if (s_list == nullptr || files == nullptr || s_list->get_api(nullptr, "SEC_COMMONTYPES_1", &types) != S_OK)
        return S_OK;
    const SEC_TYPE_TABLE* certificate = SEC_TypeTable(types, SEC_TYPE_Certificate);
    const SEC_TYPE_TABLE* list = SEC_TypeTable(types, SEC_TYPE_SET_OF_Certificate);
    std::stringstream names(files);
    std::string name;
    // Nodes come from the list type, newest first: the files' order is kept
    // by adding them from the last.
    std::vector<std::string> all;
    while (std::getline(names, name, ':'))
        all.push_back(name);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        std::ifstream in(*it, std::ios::binary);
        std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        OctetString bytes {der.size(), der.data()};
        void* cert = nullptr;
        if (der.empty() || certificate->decode(&bytes, &cert) != S_OK)
            continue;
        void* cursor = *out;
        if (list->new_node(&cursor) != S_OK) {
            certificate->free(cert);
            break;
        }
        *out = static_cast<SET_OF_Certificate*>(cursor);
        (*out)->element = static_cast<Certificate*>(cert);
    }
    s_list->release_api(&types);
    return S_OK;
}

class TrustPse final : public kestrin::qevtest::UnansweredPSE {
public:
    const char* getType() override { return "trustpse"; }
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override { return ReadTrustedList(out); }

private:
    ~TrustPse() override = default;
};

HRESULT trustpse_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "SEC_PSE_1";
    if (module)
        *module = "qevtrustpse";
    if (description)
        *description = "test provider with a trusted list";
    return S_OK;
}

HRESULT trustpse_create_PSE(PSE** out, ASC*, SECAttribute*)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new TrustPse();
    return S_OK;
}

SEC_PSE_TABLE s_pseTable = {{&trustpse_info}, &trustpse_create_PSE, nullptr, nullptr};

HRESULT get_api(const char*, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = std::strcmp(api, "SEC_PSE_1") == 0 ? &s_pseTable : nullptr;
    return *out != nullptr ? S_OK : ZELK_E_API_NOTFOUND;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT module_init(SEC_FUNCTION_LIST* list,
                                                                      MODULE_GET_API_FN* getter, void*, void*)
{
    s_list = list;
    if (getter)
        *getter = &get_api;
    return S_OK;
}
