// KestrinClient: starts the runtime from the installation root beside the
// program, binds the crypto library's tables and reports what it bound.
#include <cstdio>
#include <cstring>

#include "qevcrypto.h"
#include "zelk_loader.h"
#include "zelk_module.h"

namespace {

const char* const kLibraryTables[] = {
    "SEC_ASC_1",    "SEC_BIO_1",    "SEC_COMMONTYPES_1", "SEC_CONFIG_1", "SEC_CRYPT_1",
    "SEC_CRYPTO_1", "SEC_ENCODE_1", "SEC_IO_1",          "SEC_NOTIFY_1", "SEC_PSE_1",
    "SEC_RANDOM_1", "SEC_MZT_1",    "SEC_SSL_1",         "SEC_TIME_1",   "SEC_URL_1",
};

struct ModuleTable {
    const char* module;
    const char* table;
};
// The modules' tables that the application binds at its start.
const ModuleTable kModuleTables[] = {
    {"zelkbase", "keychain_api"},     {"zelkpolicy", "zelk.policy.1"}, {"zelkresloader", "zelk.misc.resloader.fkts.1"},
    {"zelkstring", "String.1"},       {"zelkstring", "MultiString.1"}, {"zelkstring", "StringW.1"},
    {"zelkstring", "MultiStringW.1"},
};

// Binds one table, prints its own description of itself and releases it.
bool report(const char* module, const char* table)
{
    API_COMMON* api = nullptr;
    HRESULT hr = ZELK_GetAPI(module, table, &api);
    if (hr != S_OK || api == nullptr) {
        std::printf("  %-13s %-26s not bound (0x%08X)\n", module ? module : "qevcrypto", table,
                    static_cast<unsigned>(hr));
        return false;
    }
    const char* name = nullptr;
    const char* owner = nullptr;
    const char* description = nullptr;
    api->get_info(&name, &owner, &description);
    std::printf("  %-13s %-26s %s\n", owner ? owner : "?", name ? name : table, description ? description : "");
    ZELK_ReleaseAPI(&api);
    return true;
}

}  // namespace

int main()
{
    const char* own = ZELK_FindOwnModuleDir();
    if (own == nullptr) {
        std::fprintf(stderr, "KestrinClient: cannot find its own folder\n");
        return 1;
    }
    char root[ZELK_MAX_PATH];
    std::snprintf(root, sizeof root, "%s", own);
    PathAppendA(root, "../lib");
    if (FAILED(ZELK_SetInstallationRoot(root))) {
        std::fprintf(stderr, "KestrinClient: out of memory\n");
        return 1;
    }
    std::printf("installation root: %s\n", root);

    HRESULT hr = ZELK_Initialize();
    if (FAILED(hr)) {
        std::fprintf(stderr, "KestrinClient: the runtime did not start (0x%08X)\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("runtime started; tables of the crypto library:\n");
    bool all = true;
    for (const char* table : kLibraryTables)
        all = report(nullptr, table) && all;
    std::printf("tables of the modules:\n");
    for (const ModuleTable& t : kModuleTables)
        all = report(t.module, t.table) && all;

    hr = ZELK_Finalize();
    std::printf("runtime stopped (0x%08X)\n", static_cast<unsigned>(hr));
    return all && SUCCEEDED(hr) ? 0 : 1;
}
