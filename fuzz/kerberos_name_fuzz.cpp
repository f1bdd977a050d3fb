// Target names of connections fed arbitrary bytes into the Kerberos name
// split: "Kerberos-" and "CN=" prefixes, the distinguished-name parser behind
// them, common names with services and ports. The runtime, the string module
// and the crypto library's type tables are compiled in. Checks that the
// subject always comes back and that a principal never keeps a ":".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qev_tables.h"
#include "tokens/kerberos_util.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_strings.h"

namespace {

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    fptr__common_types = qev_find_table("SEC_COMMONTYPES_1");
    return fptr__common_types != nullptr && CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRING_API, &MULTISTRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRINGW_API, &MULTISTRINGW_TABLE) == S_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool bound = Bind();
    if (!bound)
        abort();
    const std::string name(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    char* subject = nullptr;
    char* principal = nullptr;
    if (ZELK::PSESVC::KerbUtil_parseKerberosName(name.c_str(), &subject, &principal) != S_OK || subject == nullptr)
        abort();
    if (principal != nullptr && std::strchr(principal, ':') != nullptr)
        abort();
    sec_free(subject);
    sec_free(principal);
    return 0;
}
