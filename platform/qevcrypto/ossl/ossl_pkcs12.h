// PKCS#12 files over OpenSSL: building a file from an ordered list of bags and
// reading one back into its bags, in file order.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "ossl_util.h"
#include "zelk_result.h"

namespace kestrin::qevcrypto::ossl {

enum P12BagKind : int { P12_KEY_BAG = 0, P12_CERT_BAG = 1 };

struct P12BagData {
    int kind = P12_KEY_BAG;
    // Key bag: shrouded under the key encryption when set, a plain key bag otherwise.
    bool encrypted = false;
    SecretBytes pkcs8;                  // key bag: DER PrivateKeyInfo
    X509Ptr cert;                       // certificate bag
    std::optional<Bytes> friendlyName;  // BMPString contents (UCS-2, big-endian)
    std::optional<Bytes> localKeyId;
};

struct P12Params {
    int macDigestNid = NID_sha1;
    int certPbeNid = NID_pbe_WithSHA1And128BitRC4;
    int keyPbeNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    int iterations = 2048;
};

// Largest file read: a credential file of a few certificates is far smaller.
constexpr size_t kMaxPkcs12Size = 16u << 20;

// Consecutive certificate bags share one safe encrypted with certPbeNid; key
// bags go into a plain safe (a key bag marked encrypted is shrouded with
// keyPbeNid). The integrity code uses macDigestNid; both derivations use
// `iterations`. A NULL password is passed on as no password.
HRESULT EncodePkcs12(const std::vector<P12BagData>& bags, const P12Params& params, const char* password, Bytes& der);

// `verified` tells whether the integrity code was present and matched the
// password; bags are read only then (E_FAIL otherwise). Certificate bags of
// other than X.509 kind and bags of other types are skipped.
HRESULT ParsePkcs12(const uint8_t* der, size_t length, const char* password, std::vector<P12BagData>& bags,
                    bool& verified);

}  // namespace kestrin::qevcrypto::ossl
