// The key store's private OpenSSL library context.
#include <openssl/provider.h>

#include <mutex>

#include "ossl_util.h"

namespace kestrin::keystore::detail {

OSSL_LIB_CTX* LibCtx() {
  static OSSL_LIB_CTX* ctx = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
    if (made == nullptr) return;
    if (OSSL_PROVIDER_load(made, "default") == nullptr) {
      OSSL_LIB_CTX_free(made);
      return;
    }
    // Without it only PKCS#12 files of old algorithms (RC2, 40-bit) fail.
    OSSL_PROVIDER_load(made, "legacy");
    ctx = made;
  });
  return ctx;
}

}  // namespace kestrin::keystore::detail
