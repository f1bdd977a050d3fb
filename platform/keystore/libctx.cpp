// The key store's private OpenSSL library context.
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <mutex>

#include "ossl_util.h"

namespace kestrin::keystore::detail {
namespace {

// Holds the context while the deliverable that links the key store is
// loaded. OpenSSL is initialised before the holder is complete, so that the
// holder's end runs before OpenSSL's own clean-up at process exit, and also
// when the deliverable is unloaded earlier.
class PrivateContext {
public:
    PrivateContext() { OPENSSL_init_crypto(0, nullptr); }
    ~PrivateContext()
    {
        if (legacy_ != nullptr)
            OSSL_PROVIDER_unload(legacy_);
        if (default_ != nullptr)
            OSSL_PROVIDER_unload(default_);
        OSSL_LIB_CTX_free(ctx_);
    }
    PrivateContext(const PrivateContext&) = delete;
    PrivateContext& operator=(const PrivateContext&) = delete;

    OSSL_LIB_CTX* Get()
    {
        std::call_once(once_, [this] {
            OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
            if (made == nullptr)
                return;
            default_ = OSSL_PROVIDER_load(made, "default");
            if (default_ == nullptr) {
                OSSL_LIB_CTX_free(made);
                return;
            }
            // Without it only PKCS#12 files of old algorithms (RC2, 40-bit) fail.
            legacy_ = OSSL_PROVIDER_load(made, "legacy");
            ctx_ = made;
        });
        return ctx_;
    }

private:
    std::once_flag once_;
    OSSL_LIB_CTX* ctx_ = nullptr;
    OSSL_PROVIDER* default_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
};

PrivateContext s_context;

}  // namespace

OSSL_LIB_CTX* LibCtx()
{
    return s_context.Get();
}

}  // namespace kestrin::keystore::detail
