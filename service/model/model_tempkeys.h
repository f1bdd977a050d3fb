// Temporary session keys: key pairs that the connections of one target share
// for a while in the server-session-key configuration, and the signatures
// made with the user's own credential for such a connection, so that a
// reconnection within the key's lifetime needs neither the token nor the
// user. Nothing here is shown in a window.
//
// Locks: the key list under the list mutex. A key's clients, usage count,
// certificate and signature cache under its state mutex, which may be taken
// while the list mutex is held, never the other way round. Its pairs under
// its pair mutex, held through the generation of a pair (one pair per
// algorithm and encryption-only flag) and never while the list mutex is
// taken. References are dropped outside these locks.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model_clients.h"
#include "qev_attributes.h"
#include "qev_records.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CModelApplicationTempKey, 0x9D11C23D, 0x7AEB, 0x4704, 0xA2, 0xF5, 0xA8, 0xD5, 0xC6, 0xD8, 0x5E,
                 0x38);
ZELK_DEFINE_GUID(IID_CModelApplicationTempKeys, 0x6E077918, 0x7886, 0x45C8, 0x82, 0x70, 0xB4, 0xAB, 0x86, 0x4E, 0x05,
                 0x1D);

namespace ZELK::PSESVC {

// Attributes of the temporary keys besides those of qev_attributes.h: 905
// names a pair by the algorithm of its KeyInfo; 906 the pair's public key,
// 907 its creation time text (answers); 908 the algorithm of a new pair.
constexpr uint32_t SEC_ATTR_TEMP_KEY_PUBLIC = 906;
constexpr uint32_t SEC_ATTR_TEMP_KEY_CREATED = 907;
constexpr uint32_t SEC_ATTR_TEMP_KEY_ALGORITHM = 908;

// RSA sizes of temporary pairs: the default and the least; a larger request
// is kept up to the largest, above it no pair is made.
constexpr uint64_t kTempKeyRsaBits = 2048;
constexpr uint64_t kTempKeyRsaMaxBits = 4096;
// Cached signatures per key; the oldest goes first.
constexpr size_t kMaxCachedSignatures = 1024;
// The largest data and signature a cache entry takes.
constexpr unsigned long kMaxCachedData = 1024 * 1024;
constexpr unsigned long kMaxCachedSignature = 64 * 1024;

class CModelApplicationTempKey : public IUnknown, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplicationTempKey)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelApplicationTempKey)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplicationTempKey; }

    // One key pair; its values come from the crypto library's allocator.
    struct TempKeyInfo {
        TempKeyInfo() = default;
        TempKeyInfo(const TempKeyInfo&) = delete;
        TempKeyInfo& operator=(const TempKeyInfo&) = delete;
        ~TempKeyInfo();
        AlgId* algorithm = nullptr;
        KeyInfo* privateKey = nullptr;
        KeyInfo* publicKey = nullptr;
        std::string created;  // time text, GeneralizedTime
        uint64_t expiry = 0;  // seconds since 1970 on the models' clock; 0: never
        bool eom = false;
    };
    using Pair = std::shared_ptr<TempKeyInfo>;

    struct CachedSignature {
        std::string data;
        std::string signature;
    };

    ~CModelApplicationTempKey() override;

    // A key with usage count 1 for connections of `name`, holding a copy of
    // `certificate` (NULL allowed).
    static HRESULT New(const wchar_t* name, const PersonalCertificateInfo* certificate, CModelApplicationTempKey** out);

    // The pair of attribute 908's algorithm for the flag, made when there is
    // none (expiring after attribute 910's seconds, 0 or absent: never); then
    // the attributes 906, 905 and 907 that `out` holds receive the pair's
    // public key, a key naming its algorithm and its creation time.
    // 0x80000003 without a usable 908; a generation's failure, no pair added.
    HRESULT getOrCreateKey(const SECAttribute* in, SECAttribute* out, bool eom);
    // The first pair of that algorithm and flag after expired pairs went; NULL when none.
    Pair GetTempKeyInfo(const AlgId* algorithm, bool eom);
    Pair GetTempKeyInfo(const SECAttribute* in, bool eom);
    // Signs a digest, or decrypts, with the pair that attribute 905 of `in`
    // names (decryption: a pair that is not encryption-only); 0x80004005 when
    // there is none; the crypto library's answer otherwise.
    HRESULT encryptDigest(const SECAttribute* in, bool eom, const unsigned char* data, unsigned long length,
                          unsigned char* out, unsigned long* outLength);
    HRESULT decryptKey(const SECAttribute* in, const unsigned char* data, unsigned long length, unsigned char* out,
                       unsigned long* outLength);

    // The certificate ends within 300 seconds, or a pair expired (expired
    // pairs are removed).
    bool IsExpired();
    bool HasValidCachedSignatures();
    // The signature cached for exactly these bytes: 1 when none; 0xA0100014
    // with the length when `out` (of *outLength bytes) is too short.
    HRESULT GetCachedSignature(const unsigned char* data, unsigned long length, unsigned char* out,
                               unsigned long* outLength);
    // Keeps copies of both; the same data replaces its entry, and beyond
    // kMaxCachedSignatures the oldest entry goes.
    HRESULT SetCachedSignature(const unsigned char* data, unsigned long length, const unsigned char* signature,
                               unsigned long signatureLength);
    // Drops the cached signatures and the certificate.
    HRESULT ClearSignatureCache();

    HRESULT IncrementUsageCount();
    // At the step from 1 to 0 with no client listed the key leaves the list.
    HRESULT DecrementUsageCount();
    // Lists a client once, with a reference.
    HRESULT AddClient(CModelClient* client);
    // Unlists it; with usage count 0 and no client left the key leaves the list.
    HRESULT DelClient(CModelClient* client);
    bool IsUsedBy(CModelClient* client);

    // The certificate the key stands for, with a reference; NULL when none.
    HRESULT GetPCI(PersonalCertificateInfo** out);
    // Holds a copy of `certificate` (NULL: none).
    HRESULT SetPCI(const PersonalCertificateInfo* certificate);

    const wchar_t* GetName() const { return m_name.c_str(); }
    bool IsBound() const { return m_bound.load(); }
    void SetBound() { m_bound.store(true); }
    int64_t GetUsageCount();
    size_t GetCachedSignatureCount();

private:
    Pair FindPair(const AlgId* algorithm, bool eom);  // under the pair mutex
    bool DropExpiredPairs();                          // under the pair mutex

    std::atomic<bool> m_bound {false};
    std::wstring m_name;

    std::mutex m_state;
    int64_t m_usage = 0;
    PersonalCertificateInfo* m_certificate = nullptr;
    std::vector<CModelClient*> m_clients;  // one reference each
    std::list<CachedSignature> m_cache;    // oldest first
    std::unordered_map<std::string_view, std::list<CachedSignature>::iterator> m_cacheIndex;

    std::mutex m_pairMutex;
    std::vector<Pair> m_pairs;
};

class CModelApplicationTempKeys : public IUnknown,
                                  public CSingletonFactoryImpl<CModelApplicationTempKeys>,
                                  public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModelApplicationTempKeys)
    ZELK_INTMAP_ENTRY_CLASS(IID_CModelApplicationTempKeys)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CModelApplicationTempKeys; }

    ~CModelApplicationTempKeys() override;

    // The connection's key: the one it holds, else the first listed key of
    // its name that fits (not bound; bound and used by its client when it
    // reauthenticates), else, with `in`, a new one. With `in` the client is
    // listed for the exit flags, a reauthenticating connection binds the key,
    // and the key makes or reuses its pair and fills `out`. `key` (NULL
    // allowed) receives the key with a reference, NULL when none. 0.
    static HRESULT GetKey(CModelApplicationConnection* connection, const SECAttribute* in, SECAttribute* out,
                          CModelApplicationTempKey** key);
    // A client process has gone: it leaves every key. 0.
    static HRESULT ClientStop(CModelClient* client);
    // The key leaves the list. 0.
    static HRESULT DelKey(CModelApplicationTempKey* key);
    // The listed keys, for inspection.
    static size_t GetKeyCount();

    // "SEC_CRYPT_1" and "SEC_TIME_1" of the crypto library, bound with the module.
    static API_COMMON* s_cryptTable;
    static API_COMMON* s_timeTable;

private:
    static HRESULT Existing(CModelApplicationTempKeys** out);

    std::mutex m_list;
    std::vector<CModelApplicationTempKey*> m_keys;  // one reference each
};

}  // namespace ZELK::PSESVC
