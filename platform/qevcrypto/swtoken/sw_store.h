// The in-memory software tokens ("toksw:" slots): each in-memory PSE is one
// store of token objects that lives in this process only. A PSE is made by
// "SEC_PSE_1" slot 4 and deleted by slot 5; the PSE of an enrolment profile
// ("mem://kestrin/" + profile) is made on its first use. Deleting a store
// wipes its keys; objects and tokens still held answer as gone.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "https/https_identity.h"
#include "ossl/ossl_util.h"
#include "qev_token.h"

namespace kestrin::qevcrypto::swtoken {

// What the store reaches of its own token objects.
class StoredObject {
public:
    virtual TokenObject* Object() = 0;
    // Removal: key bytes are wiped and the object answers E_TOKEN_NOKEY.
    virtual void Wipe() = 0;
    // Certificate objects: the certificate (DER); key objects: empty.
    virtual const ossl::Bytes& CertificateDer() = 0;
    // Key objects: the PKCS#8 DER while the key is there.
    virtual HRESULT KeyDer(ossl::SecretBytes* out) = 0;

protected:
    ~StoredObject() = default;
};

class Store {
public:
    explicit Store(std::string slotName) : m_slotName(std::move(slotName)) {}
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& SlotName() const { return m_slotName; }

    // S_OK until the PSE is deleted, then E_TOKEN_NOTFOUND.
    HRESULT Valid();
    // S_OK when initialised, E_PSE_NOPSE when not.
    HRESULT Initialized();
    // Initialises with a PIN (empty: no login needed).
    HRESULT Initialize(const char* pin);
    // Removes every object (keys wiped) and the PIN: not initialised.
    void Clear();
    // Deletion of the PSE: cleared and no longer valid.
    void Delete();

    bool PinSet();
    HRESULT Login(const char* pin);
    void Logout();
    // S_OK when the objects may be used or made: valid, initialised and,
    // with a PIN, logged in.
    HRESULT Usable();

    // Takes one reference of the object.
    HRESULT Add(StoredObject* object, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label);
    HRESULT Remove(StoredObject* object);
    // getObjects of the token (qev_token.h).
    HRESULT List(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                 const char* label);
    // The first object of the type with that key identifier, with a reference.
    HRESULT Find(TOKEN_OBJECT_TYPE type, const char* keyId, StoredObject** out);
    // The issuers of a certificate among the store's certificates (its own
    // issuer first), and the self-signed root apart.
    HRESULT Path(const ossl::Bytes& certificate, std::vector<ossl::Bytes>* path, ossl::Bytes* root);

private:
    struct Entry {
        StoredObject* object;  // one reference
        TOKEN_OBJECT_TYPE type;
        std::string keyId;  // empty: none
        std::string label;
    };

    void ClearLocked(std::vector<Entry>& removed);

    const std::string m_slotName;
    std::mutex m_lock;
    bool m_deleted = false;
    bool m_initialized = false;
    bool m_verified = false;
    ossl::SecretBytes m_pin;
    std::vector<Entry> m_entries;
};

using StorePtr = std::shared_ptr<Store>;

// Longest PSE name and PIN taken.
constexpr size_t kMaxPinLength = 256;

// "SEC_PSE_1" slots 4 and 5.
HRESULT CreateMemoryPse(char** name);
HRESULT DeleteMemoryPse(const char* name);

// The store of a PSE name (without "toksw:"); an enrolment profile's is made
// on demand. E_PSE_NOTFOUND for any other name that was never made.
HRESULT FindStore(const char* pseName, StorePtr* out);

// The identity of a "toksw:" slot for TLS: its private key with key
// identifier, that identifier's certificate, and the certificate's issuers.
HRESULT StoreIdentity(const char* slotName, https::ContextCredentials& into);

}  // namespace kestrin::qevcrypto::swtoken
