#include "ossl_providers.h"

#include <openssl/provider.h>

#include <mutex>

namespace qev::ossl {

bool EnsureLegacyProvider()
{
    static std::once_flag once;
    static bool loaded = false;
    std::call_once(once, [] {
        // Loading any provider explicitly switches off the implicit default
        // one, so both are loaded; they stay for the life of the process.
        OSSL_PROVIDER* def = OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        loaded = def != nullptr && legacy != nullptr;
    });
    return loaded;
}

}  // namespace qev::ossl
