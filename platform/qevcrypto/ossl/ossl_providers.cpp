#include "ossl_providers.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <mutex>

namespace kestrin::qevcrypto::ossl {
namespace {

// Holds the legacy provider while this library is loaded. OpenSSL is
// initialised before the holder is complete, so that the holder's end runs
// before OpenSSL's own clean-up at process exit, and also when the library is
// unloaded earlier.
class LegacyProvider {
public:
    LegacyProvider() { OPENSSL_init_crypto(0, nullptr); }
    ~LegacyProvider()
    {
        if (m_legacy != nullptr)
            OSSL_PROVIDER_unload(m_legacy);
    }
    LegacyProvider(const LegacyProvider&) = delete;
    LegacyProvider& operator=(const LegacyProvider&) = delete;

    bool Ensure()
    {
        std::call_once(m_once, [this] {
            // Asking for the default provider first keeps it the implicit
            // fallback it is; loading the legacy one alone would switch the
            // fallback off for everybody else in the process.
            if (OSSL_PROVIDER_available(nullptr, "default"))
                m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        });
        return m_legacy != nullptr;
    }

private:
    std::once_flag m_once;
    OSSL_PROVIDER* m_legacy = nullptr;
};

LegacyProvider s_legacy;

}  // namespace

bool EnsureLegacyProvider()
{
    return s_legacy.Ensure();
}

}  // namespace kestrin::qevcrypto::ossl
