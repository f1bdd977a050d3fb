// The user's key store: identities (certificate + private key with a print
// name), certificates without keys, identity preferences, generic passwords
// and trust settings, kept in one SQLite database (0600 in a 0700 folder).
// Private keys never leave the store: callers sign and decrypt through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zelk_result.h"

namespace kestrin::keystore {

// Failures of the key store. Alongside these: E_INVALIDARG (a missing or
// over-long argument), E_POINTER (a null out-argument), E_OUTOFMEMORY.
constexpr HRESULT KEYSTORE_E_NOT_DATABASE = ZELK_RC(0xA0C00001);
constexpr HRESULT KEYSTORE_E_FOREIGN_DATABASE = ZELK_RC(0xA0C00002);
constexpr HRESULT KEYSTORE_E_NEWER_FORMAT = ZELK_RC(0xA0C00003);
constexpr HRESULT KEYSTORE_E_UNSAFE_PATH = ZELK_RC(0xA0C00004);
constexpr HRESULT KEYSTORE_E_DATABASE = ZELK_RC(0xA0C00005);
constexpr HRESULT KEYSTORE_E_BUSY = ZELK_RC(0xA0C00006);
constexpr HRESULT KEYSTORE_E_NO_HOME = ZELK_RC(0xA0C00007);
constexpr HRESULT KEYSTORE_E_PKCS12_FORMAT = ZELK_RC(0xA0C00010);
constexpr HRESULT KEYSTORE_E_PKCS12_PASSWORD = ZELK_RC(0xA0C00011);
constexpr HRESULT KEYSTORE_E_PKCS12_NO_IDENTITY = ZELK_RC(0xA0C00012);
constexpr HRESULT KEYSTORE_E_BAD_CERTIFICATE = ZELK_RC(0xA0C00013);
constexpr HRESULT KEYSTORE_E_NOT_FOUND = ZELK_RC(0xA0C00014);
constexpr HRESULT KEYSTORE_E_UNSUPPORTED = ZELK_RC(0xA0C00015);
constexpr HRESULT KEYSTORE_E_CRYPTO = ZELK_RC(0xA0C00016);
constexpr HRESULT KEYSTORE_E_WATCH = ZELK_RC(0xA0C00017);

// A short English text for a result code of the key store (or a generic one).
const char* ResultText(HRESULT hr);

// Limits on what callers hand in.
constexpr size_t kMaxCertificateSize = 1 << 20;
constexpr size_t kMaxPkcs12Size = 16 << 20;
constexpr size_t kMaxSecretSize = 64 << 10;
constexpr size_t kMaxNameSize = 4096;
constexpr size_t kMaxChainLength = 32;

// SHA-1 of a DER encoding.
using Fingerprint = std::array<uint8_t, 20>;

// Bytes that are a secret: wiped when cleared, replaced or destroyed.
class SecretBytes {
public:
    SecretBytes() = default;
    ~SecretBytes();
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    HRESULT Assign(std::span<const uint8_t> bytes);
    void Clear();
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const uint8_t> span() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

struct Certificate {
    Fingerprint sha1 {};  // SHA-1 of the DER encoding
    std::vector<uint8_t> der;
    bool hasPrivateKey = false;  // the store holds the matching private key
};

enum class KeyType { Rsa, Ec, Other };

struct Identity {
    Fingerprint sha1 {};               // SHA-1 of the certificate's DER encoding
    std::vector<uint8_t> certificate;  // DER
    std::string printName;             // the private key's print name
    KeyType keyType = KeyType::Other;
    int keyBits = 0;
};

// Certificate helpers (no store needed).
HRESULT CertificateSha1(std::span<const uint8_t> der, Fingerprint* out);
// The subject's common name as UTF-8; S_FALSE (and an empty text) when it has none.
HRESULT CertificateCommonName(std::span<const uint8_t> der, std::string* out);

enum class NameMatch { Exact, Prefix };
// Case-sensitive byte comparison; an empty prefix never matches.
bool PrintNameMatches(std::string_view printName, std::string_view text, NameMatch how);

enum class DeletePart { Key = 1, Certificate = 2, Both = 3 };

struct Pkcs12Import {
    Identity identity;               // the identity now in the store
    std::vector<Certificate> chain;  // its certificate first, then the file's other certificates
    // What the store held before, so that a caller can undo the import
    // without taking anything that was there already.
    bool keyWasPresent = false;
    std::string previousPrintName;  // the key's print name before, when it was present
    bool certificateWasPresent = false;
};

enum class Digest { Sha1, Sha256, Sha384, Sha512 };
enum class SignPadding { Pkcs1, Pss };  // RSA only; PSS uses a salt as long as the digest
enum class DecryptPadding { Pkcs1, OaepSha1, OaepSha256 };

enum class TrustDomain { User = 0, Admin = 1, System = 2 };
enum class TrustSetting { Trusted = 1, Deny = 2, Unspecified = 3 };

// Values as the callers test them: Proceed (1) and Unspecified (4) mean usable.
enum class TrustResult {
    Invalid = 0,
    Proceed = 1,      // a certificate of the chain is trusted explicitly in the store
    Deny = 3,         // a certificate of the chain is denied in the store
    Unspecified = 4,  // a valid chain to an anchor of the system's CA bundle
    RecoverableTrustFailure = 5,
    FatalTrustFailure = 6,
    OtherError = 7,
};

enum class TrustPurpose { Basic, SslClient, SslServer };

struct TrustPolicy {
    TrustPurpose purpose = TrustPurpose::Basic;
    std::string host;               // SslServer: the name the leaf must carry (empty: not checked)
    std::optional<std::time_t> at;  // evaluation time (default: now)
};

struct TrustEvaluation {
    TrustResult result = TrustResult::Invalid;
    int verifyError = 0;             // OpenSSL's X509_V_ERR_* (0 when the chain verified)
    std::vector<Certificate> chain;  // the chain as built, leaf first
};

// Kinds of change, as a bit mask.
constexpr unsigned kIdentitiesChanged = 1;  // identities, certificates, preferences
constexpr unsigned kPasswordsChanged = 2;
constexpr unsigned kTrustChanged = 4;
constexpr unsigned kAllChanges = 7;

using ChangeCallback = std::function<void(unsigned kinds)>;

class Notifier;

// A registered change callback; destroying or resetting it unregisters the
// callback and waits for a call running on another thread to finish.
class Subscription {
public:
    Subscription() = default;
    ~Subscription();
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    void Reset();
    bool Active() const { return notifier_ != nullptr; }

private:
    friend class KeyStore;
    Subscription(std::shared_ptr<Notifier> notifier, uint64_t id);
    std::shared_ptr<Notifier> notifier_;
    uint64_t id_ = 0;
};

struct Options {
    std::string path;                              // empty: the user's default key store
    std::string systemAnchors = "/etc/ssl/certs";  // a hashed folder or a PEM bundle file
};

class KeyStore {
public:
    // $XDG_DATA_HOME/kestrin/keystore.db, default ~/.local/share/kestrin/keystore.db.
    static HRESULT DefaultPath(std::string* out);
    // Opens (creating when missing) the key store. On failure `message` (when
    // given) receives a text naming the file and the cause; an existing file
    // that is not a key store is left untouched.
    static HRESULT Open(const Options& options, std::unique_ptr<KeyStore>* out, std::string* message = nullptr);

    ~KeyStore();
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;

    const std::string& Path() const;

    // Identities. Import takes the file's first private key and its
    // certificate; the key's print name is the PKCS#12 friendly name (empty
    // when the file has none). Importing an identity again replaces its key's
    // print name. A wrong password changes nothing.
    HRESULT ImportPkcs12(std::span<const uint8_t> data, std::string_view password, Pkcs12Import* out);
    HRESULT ListIdentities(std::vector<Identity>* out);
    HRESULT FindIdentity(const Fingerprint& sha1, Identity* out);  // S_FALSE: none
    // Key: the certificate stays as a certificate without key. Certificate:
    // the key stays, unseen until its certificate is added again. S_FALSE: nothing deleted.
    HRESULT DeleteIdentity(const Fingerprint& sha1, DeletePart part);
    // Deletes key and certificate of every identity whose print name matches;
    // S_FALSE when none did. `deleted` receives the identities removed.
    HRESULT DeleteIdentitiesByPrintName(std::string_view text, NameMatch how, std::vector<Identity>* deleted = nullptr);
    // Gives the identity's private key another print name. S_FALSE: no such identity.
    HRESULT SetPrintName(const Fingerprint& identity, std::string_view name);

    // Private-key operations. Sign hashes `data`; SignDigest takes the digest.
    // ECDSA signatures are DER-encoded.
    HRESULT Sign(const Fingerprint& identity, Digest digest, SignPadding padding, std::span<const uint8_t> data,
                 std::vector<uint8_t>* signature);
    HRESULT SignDigest(const Fingerprint& identity, Digest digest, SignPadding padding, std::span<const uint8_t> hash,
                       std::vector<uint8_t>* signature);
    // RSA only: PKCS#1 v1.5 signature of `input` exactly as given (a caller
    // that wraps its digest in a DigestInfo itself, or a TLS 1.0 MD5+SHA-1
    // pair); at most the key's size less 11 bytes.
    HRESULT SignRawPkcs1(const Fingerprint& identity, std::span<const uint8_t> input, std::vector<uint8_t>* signature);
    HRESULT Decrypt(const Fingerprint& identity, DecryptPadding padding, std::span<const uint8_t> ciphertext,
                    SecretBytes* plain);

    // Identity preferences: the identity preferred for a name.
    HRESULT SetPreferredIdentity(std::string_view name, const Fingerprint& identity);
    HRESULT GetPreferredIdentity(std::string_view name, Identity* out);  // S_FALSE: none
    HRESULT ClearPreferredIdentity(std::string_view name);               // S_FALSE: none set

    // Certificates (with or without key). Add answers S_FALSE when present.
    HRESULT AddCertificate(std::span<const uint8_t> der, Fingerprint* sha1 = nullptr);
    HRESULT FindCertificate(const Fingerprint& sha1, Certificate* out);  // S_FALSE: none
    HRESULT ListCertificates(std::vector<Certificate>* out);
    HRESULT DeleteCertificate(const Fingerprint& sha1);  // S_FALSE: none

    // Generic passwords.
    HRESULT SetPassword(std::string_view service, std::string_view account, std::span<const uint8_t> secret);
    HRESULT GetPassword(std::string_view service, std::string_view account,
                        SecretBytes* out);                                       // S_FALSE: none
    HRESULT DeletePassword(std::string_view service, std::string_view account);  // S_FALSE: none

    // Trust settings per domain; evaluation of a chain (leaf first).
    HRESULT SetTrustSetting(TrustDomain domain, std::span<const uint8_t> der, TrustSetting setting);
    HRESULT GetTrustSetting(TrustDomain domain, const Fingerprint& sha1, TrustSetting* out);  // S_FALSE: none
    HRESULT RemoveTrustSetting(TrustDomain domain, const Fingerprint& sha1);                  // S_FALSE: none
    HRESULT ListTrustCertificates(TrustDomain domain, std::vector<Certificate>* out);         // S_FALSE: none
    // The certificates of the system's CA bundle (Options::systemAnchors), once each.
    HRESULT ListSystemAnchors(std::vector<Certificate>* out);  // S_FALSE: none
    HRESULT EvaluateTrust(std::span<const std::vector<uint8_t>> chain, const TrustPolicy& policy, TrustEvaluation* out);

    // Change notification, for changes of this process and (seen through the
    // folder watcher) of others. Callbacks run on the changing thread or on
    // the watcher's thread, one at a time; a burst of outside changes gives
    // one call. A callback may use the store and reset subscriptions, but
    // must not destroy the store.
    HRESULT Subscribe(unsigned kinds, ChangeCallback callback, Subscription* out);

    struct Impl;

private:
    explicit KeyStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrin::keystore
