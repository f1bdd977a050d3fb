#include "file_pse.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "keychain_algs.h"
#include "keychain_name.h"
#include "keychain_objects.h"
#include "lib_lists.h"
#include "lib_object.h"
#include "own_filter.h"
#include "pse_dir.h"
#include "pse_file.h"
#include "pse_keys.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "sec_attr.h"
#include "types_values.h"

namespace kestrin::qevcrypto {
namespace {

using filepse::Bytes;
using filepse::PseImage;
using filepse::SecretBytes;

constexpr char kFilePseType[] = "FILEPSE";
constexpr size_t kMaxPathCertificates = 32;

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// What identifies the file's present content.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime {};
    bool operator==(const Stamp& o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec
               && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

HRESULT ReadFile(const std::string& path, Bytes* bytes, Stamp* stamp)
{
    Fd file;
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0)
        return errno == ENOENT ? E_PSE_NOPSE : E_ACCESSDENIED;
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return E_PSE_CORRUPT;
    if (static_cast<uint64_t>(st.st_size) > filepse::kMaxPseFileSize)
        return E_PSE_CORRUPT;
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes->size()) {
        ssize_t n = read(file.fd, bytes->data() + done, bytes->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return E_PSE_CORRUPT;
        done += static_cast<size_t>(n);
    }
    *stamp = Stamp {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return S_OK;
}

HRESULT CurrentStamp(const std::string& path, Stamp* stamp)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? E_PSE_NOPSE : E_FAIL;
    *stamp = Stamp {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return S_OK;
}

// Held while a change is written: the lock file beside the PSE file.
class WriteLock {
public:
    HRESULT Take(const std::string& path)
    {
        m_fd.fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd.fd < 0)
            return E_ACCESSDENIED;
        while (flock(m_fd.fd, LOCK_EX) != 0)
            if (errno != EINTR)
                return E_FAIL;
        return S_OK;
    }

private:
    Fd m_fd;
};

// Writes the bytes to a new private file beside `path`, synced to disk;
// `temporary` receives its name.
HRESULT WriteTemporary(const std::string& path, const Bytes& der, std::string* temporary)
{
    std::string name = path + ".XXXXXX";
    Fd file;
    file.fd = mkostemp(name.data(), O_CLOEXEC);
    if (file.fd < 0)
        return E_ACCESSDENIED;
    bool ok = fchmod(file.fd, 0600) == 0;
    for (size_t done = 0; ok && done < der.size();) {
        ssize_t n = write(file.fd, der.data() + done, der.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(file.fd) == 0;
    if (!ok) {
        unlink(name.c_str());
        return E_FAIL;
    }
    *temporary = std::move(name);
    return S_OK;
}

void SyncFolder(const std::string& path)
{
    size_t slash = path.rfind('/');
    Fd dir;
    dir.fd = open(slash == std::string::npos ? "." : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd >= 0)
        fsync(dir.fd);
}

ossl::X509Ptr Parse(const Bytes& der)
{
    const unsigned char* p = der.data();
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

char* CopyText(const std::string& text)
{
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr)
        std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string KeyIdOf(const Bytes& der)
{
    uint8_t sha1[20];
    SHA1(der.data(), der.size(), sha1);
    return keychain::HexLower(sha1, sizeof sha1);
}

// The issuers of a certificate among `pool`, by name and signature: the
// path above it and the self-signed root apart.
void PathOf(const Bytes& certificate, const std::vector<const Bytes*>& pool, std::vector<const Bytes*>* path,
            const Bytes** root)
{
    ossl::X509Ptr current = Parse(certificate);
    *root = nullptr;
    if (!current || X509_check_issued(current.get(), current.get()) == X509_V_OK)
        return;
    while (path->size() < kMaxPathCertificates) {
        const Bytes* found = nullptr;
        ossl::X509Ptr issuer;
        for (const Bytes* candidate : pool) {
            ossl::X509Ptr x509 = Parse(*candidate);
            if (!x509 || X509_cmp(x509.get(), current.get()) == 0
                || X509_check_issued(x509.get(), current.get()) != X509_V_OK) {
                continue;
            }
            EVP_PKEY* key = X509_get0_pubkey(x509.get());
            if (key != nullptr && X509_verify(current.get(), key) == 1) {
                found = candidate;
                issuer = std::move(x509);
                break;
            }
        }
        if (found == nullptr)
            return;
        if (X509_check_issued(issuer.get(), issuer.get()) == X509_V_OK) {
            *root = found;
            return;
        }
        path->push_back(found);
        current = std::move(issuer);
    }
}

kestrin::keystore::KeyType KeyTypeOf(const Bytes& certificate)
{
    ossl::X509Ptr x509 = Parse(certificate);
    EVP_PKEY* key = x509 ? X509_get0_pubkey(x509.get()) : nullptr;
    int id = key != nullptr ? EVP_PKEY_get_base_id(key) : 0;
    return id == EVP_PKEY_RSA  ? kestrin::keystore::KeyType::Rsa
           : id == EVP_PKEY_EC ? kestrin::keystore::KeyType::Ec
                               : kestrin::keystore::KeyType::Other;
}

class FilePse final : public LibObject<PSE> {
public:
    FilePse(std::string path, PseImage image, Stamp stamp)
        : m_path(std::move(path)), m_image(std::move(image)), m_stamp(stamp)
    {}

    const char* getType() override { return kFilePseType; }
    int cmp(const PSE* other) override { return other == this ? 0 : 1; }
    HRESULT print(char** out, const char*, PRINT_CTX*) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = CopyText(m_path);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT getOwnCertificate(const History*, SECAttribute* filter, SET_OF_PersonalCertificateInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        SET_OF_PersonalCertificateInfo** cursor = out;
        for (const Identity& identity : Identities()) {
            PersonalCertificateInfo* info = nullptr;
            HRESULT hr = MakeInfo(identity, &info);
            if (FAILED(hr))
                return hr;
            if (!filepse::PassesOwnFilter(info, filter)) {
                FreeTyped(SEC_TYPE_PersonalCertificateInfo, info);
                continue;
            }
            hr = AppendNode(SEC_TYPE_SET_OF_PersonalCertificateInfo, cursor, info);
            if (FAILED(hr)) {
                FreeTyped(SEC_TYPE_PersonalCertificateInfo, info);
                return hr;
            }
        }
        return S_OK;
    }

    HRESULT encryptDigest(const History*, SECAttribute* attributes, const unsigned char* digest,
                          unsigned long digestLength, unsigned char* out, unsigned long* outLength) override
    {
        return KeyOperation(attributes, SEC_ATTR_SIGNATURE_ALGORITHM, digest, digestLength, out, outLength, true);
    }
    HRESULT decryptKey(const History*, SECAttribute* attributes, const unsigned char* in, unsigned long inLength,
                       unsigned char* out, unsigned long* outLength) override
    {
        return KeyOperation(attributes, SEC_ATTR_DECRYPT_ALGORITHM, in, inLength, out, outLength, false);
    }

    HRESULT searchCertificate(SECAttribute* filter, SET_OF_Certificate** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        const DName* issuer = nullptr;
        const DName* subject = nullptr;
        const OctetString* serial = nullptr;
        for (SECAttribute* a = filter; a != nullptr; a = a->next) {
            if (a->answered)
                continue;
            if (a->id == SEC_ATTR_ISSUER)
                issuer = static_cast<const DName*>(a->value);
            else if (a->id == SEC_ATTR_SUBJECT || a->id == SEC_ATTR_SUBJECT_NAME)
                subject = static_cast<const DName*>(a->value);
            else if (a->id == SEC_ATTR_SERIAL)
                serial = static_cast<const OctetString*>(a->value);
        }
        const SEC_TYPE_TABLE* names = TypeTable(SEC_TYPE_DName);
        const SEC_TYPE_TABLE* octets = TypeTable(SEC_TYPE_OctetString);
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        std::vector<const Bytes*> all;
        for (const auto& c : m_image.certificates)
            all.push_back(&c.der);
        for (const auto& c : m_image.trusted)
            all.push_back(&c);
        SET_OF_Certificate** cursor = out;
        for (const Bytes* der : all) {
            Certificate* c = nullptr;
            HRESULT hr = values::CertificateFromDer(der->data(), der->size(), &c);
            if (FAILED(hr))
                return hr;
            bool match = (issuer == nullptr || names->compare(c->getIssuer(), issuer) == 0)
                         && (subject == nullptr || names->compare(c->getSubject(), subject) == 0)
                         && (serial == nullptr || octets->compare(c->getSerialNumber(), serial) == 0);
            if (match)
                hr = AppendNode(SEC_TYPE_SET_OF_Certificate, cursor, c);
            if (!match || FAILED(hr))
                c->Release();
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    HRESULT readApplObject(const char*, OctetString** out) override { return Unsupported(out); }
    HRESULT writeApplObject(const char*, OctetString*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT listApplObjects(SET_OF_String** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        return S_OK;
    }
    // The identity's objects, as the key store's: the token name is not read
    // (the file has one), the key identifier and label choose.
    HRESULT getPrivateKey(const char*, const char* keyId, TokenObjectPrivateKey** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        keychain::IdentityPtr identity;
        keychain::SourcePtr source;
        HRESULT hr = FindIdentity(keyId, nullptr, &identity, &source);
        return FAILED(hr) ? hr : keychain::NewPrivateKeyObject(source, identity, out);
    }
    HRESULT getCertificate(const char*, const char* keyId, const char* label, TokenObjectCertificate** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        keychain::IdentityPtr identity;
        keychain::SourcePtr source;
        HRESULT hr = FindIdentity(keyId, label, &identity, &source);
        return FAILED(hr) ? hr : keychain::NewCertificateObject(source, identity, out);
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) override { return Unsupported(out); }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) override { return Unsupported(out); }
    HRESULT getSlotByName(SecSlot** out, const char*, unsigned char) override { return Unsupported(out); }
    HRESULT getSlots(SecSlot**, unsigned long*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT getTokenByName(SecToken** out, const char*, unsigned char) override { return Unsupported(out); }
    HRESULT getSlotEvents(SecSlotEvents** out) override { return Unsupported(out); }

    HRESULT isInTrustedCerts(const Certificate* certificate) override
    {
        X509* x509 = values::CertificateX509(const_cast<Certificate*>(certificate));
        Bytes der;
        unsigned char* bytes = nullptr;
        int length = x509 != nullptr ? i2d_X509(x509, &bytes) : 0;
        if (length > 0)
            der.assign(bytes, bytes + length);
        OPENSSL_free(bytes);
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        for (const Bytes& t : m_image.trusted)
            if (!der.empty() && t == der)
                return 1;
        return 0;
    }
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override { return getTrustedCertList(out); }
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        SET_OF_Certificate* list = nullptr;
        SET_OF_Certificate** cursor = &list;
        for (const Bytes& der : m_image.trusted) {
            Certificate* c = nullptr;
            HRESULT hr = values::CertificateFromDer(der.data(), der.size(), &c);
            if (SUCCEEDED(hr))
                hr = AppendNode(SEC_TYPE_SET_OF_Certificate, cursor, c);
            if (FAILED(hr)) {
                if (c != nullptr)
                    c->Release();
                FreeTyped(SEC_TYPE_SET_OF_Certificate, list);
                return hr;
            }
        }
        *out = list;
        return S_OK;
    }
    HRESULT addTrustedCertListItem(const Certificate* certificate) override
    {
        X509* x509 = values::CertificateX509(const_cast<Certificate*>(certificate));
        if (x509 == nullptr)
            return E_INVALIDARG;
        Bytes der;
        unsigned char* bytes = nullptr;
        int length = i2d_X509(x509, &bytes);
        if (length <= 0)
            return E_FAIL;
        der.assign(bytes, bytes + length);
        OPENSSL_free(bytes);
        return Change([&](PseImage& image) {
            for (const Bytes& t : image.trusted)
                if (t == der)
                    return S_FALSE;
            if (image.trusted.size() >= filepse::kMaxBags)
                return E_INVALIDARG;
            image.trusted.push_back(der);
            return S_OK;
        });
    }
    HRESULT deleteTrustedCertListItem(const DName* name, unsigned long) override
    {
        if (name == nullptr)
            return E_INVALIDARG;
        const SEC_TYPE_TABLE* names = TypeTable(SEC_TYPE_DName);
        return Change([&](PseImage& image) {
            size_t before = image.trusted.size();
            std::erase_if(image.trusted, [&](const Bytes& der) {
                Certificate* c = nullptr;
                if (FAILED(values::CertificateFromDer(der.data(), der.size(), &c)))
                    return false;
                bool same = names->compare(c->getSubject(), name) == 0;
                c->Release();
                return same;
            });
            return image.trusted.size() != before ? S_OK : S_FALSE;
        });
    }

    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override { return Unsupported(out); }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT getPasswordList(SET_OF_PIN_Info** out) override { return Unsupported(out); }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT releaseTokenCache(const char*) override { return S_OK; }
    HRESULT getPseFileName(const char** name) override
    {
        if (name == nullptr)
            return E_POINTER;
        *name = m_path.c_str();
        return S_OK;
    }
    HRESULT cred_list(SET_OF_String** out) override { return Unsupported(out); }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_initCredUpdate() override { return E_PSE_NOTSUPPORTED; }
    HRESULT loginBySystemParameters(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT loginWithPassword(const char*, const unsigned char* password, unsigned long length) override
    {
        if ((password == nullptr && length > 0) || length > filepse::kMaxPasswordLength)
            return E_INVALIDARG;
        std::string text;
        if (password != nullptr)
            text.assign(reinterpret_cast<const char*>(password), length);
        if (text.find('\0') != std::string::npos) {
            OPENSSL_cleanse(text.data(), text.size());
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        Bytes der;
        Stamp stamp;
        HRESULT hr = ReadFile(m_path, &der, &stamp);
        PseImage image;
        if (SUCCEEDED(hr))
            hr = filepse::ParsePseFile(der.data(), der.size(), text.c_str(), text.size(), &image);
        if (SUCCEEDED(hr)) {
            m_image = std::move(image);
            m_stamp = stamp;
            m_password.assign(text.begin(), text.end());
            m_loggedIn = true;
        }
        OPENSSL_cleanse(text.data(), text.size());
        return hr;
    }
    HRESULT cred_delete(const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return E_PSE_NOTSUPPORTED; }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return E_PSE_NOTSUPPORTED;
    }
    HRESULT cred_finalCredUpdate() override { return E_PSE_NOTSUPPORTED; }
    HRESULT control(SECAttribute*, SECAttribute*) override { return E_PSE_NOTSUPPORTED; }

    // What the identity objects of this file ask of it.
    HRESULT HasIdentity(const std::string& keyId)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        return FindKey(keyId.c_str()) != nullptr ? S_OK : E_TOKEN_NOKEY;
    }
    HRESULT SignFor(const std::string& keyId, const AlgId* algorithm, bool digestInput, std::span<const uint8_t> input,
                    std::vector<uint8_t>* signature)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        const filepse::KeyBag* key = FindKey(keyId.c_str());
        if (key == nullptr)
            return E_TOKEN_NOKEY;
        if (!m_loggedIn || key->pkcs8.empty())
            return E_PSE_NOTLOGGEDIN;
        return filepse::SignWithKey(key->pkcs8, algorithm, digestInput, input.data(), input.size(), signature);
    }
    HRESULT DecryptFor(const std::string& keyId, const AlgId* algorithm, std::span<const uint8_t> input,
                       SecretBytes* plain)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        const filepse::KeyBag* key = FindKey(keyId.c_str());
        if (key == nullptr)
            return E_TOKEN_NOKEY;
        if (!m_loggedIn || key->pkcs8.empty())
            return E_PSE_NOTLOGGEDIN;
        return filepse::DecryptWithKey(key->pkcs8, algorithm, input.data(), input.size(), plain);
    }
    HRESULT PathFor(const Bytes& certificate, std::vector<Bytes>* path, Bytes* root)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        std::vector<const Bytes*> pool;
        for (const auto& c : m_image.certificates)
            if (c.der != certificate)
                pool.push_back(&c.der);
        std::vector<const Bytes*> found;
        const Bytes* end = nullptr;
        PathOf(certificate, pool, &found, &end);
        path->clear();
        for (const Bytes* c : found)
            path->push_back(*c);
        *root = end != nullptr ? *end : Bytes();
        return S_OK;
    }

private:
    const GUID& Iid() const override { return IID_PSE; }

    // The key of the identity whose certificate has that key identifier
    // (NULL: the first identity), with the lock held.
    const filepse::KeyBag* FindKey(const char* keyId) const
    {
        for (const Identity& identity : Identities())
            if (keyId == nullptr || strcasecmp(keyId, KeyIdOf(identity.certificate->der).c_str()) == 0)
                return identity.key;
        return nullptr;
    }

    HRESULT FindIdentity(const char* keyId, const char* label, keychain::IdentityPtr* out, keychain::SourcePtr* source);

    template <class T>
    static HRESULT Unsupported(T** out)
    {
        if (out != nullptr)
            *out = nullptr;
        return E_PSE_NOTSUPPORTED;
    }

    struct Identity {
        const filepse::CertificateBag* certificate;
        const filepse::KeyBag* key;
    };

    // Keys paired with their certificates by local key identifier, file order.
    std::vector<Identity> Identities() const
    {
        std::vector<Identity> identities;
        for (const auto& key : m_image.keys) {
            if (key.localKeyId.empty())
                continue;
            for (const auto& c : m_image.certificates) {
                if (c.localKeyId == key.localKeyId) {
                    identities.push_back({&c, &key});
                    break;
                }
            }
        }
        return identities;
    }

    // Takes in another process's change of the file (held lock).
    void Refresh()
    {
        Stamp now;
        if (FAILED(CurrentStamp(m_path, &now)) || now == m_stamp)
            return;
        Bytes der;
        Stamp stamp;
        PseImage image;
        if (FAILED(ReadFile(m_path, &der, &stamp)))
            return;
        const char* password = m_loggedIn ? reinterpret_cast<const char*>(m_password.data()) : nullptr;
        std::string text(password != nullptr ? password : "", m_password.size());
        HRESULT hr =
            filepse::ParsePseFile(der.data(), der.size(), m_loggedIn ? text.c_str() : nullptr, text.size(), &image);
        OPENSSL_cleanse(text.data(), text.size());
        if (SUCCEEDED(hr)) {
            m_image = std::move(image);
            m_stamp = stamp;
        }
    }

    HRESULT MakeInfo(const Identity& identity, PersonalCertificateInfo** out) const
    {
        *out = nullptr;
        const SEC_TYPE_TABLE* infoType = TypeTable(SEC_TYPE_PersonalCertificateInfo);
        void* made = nullptr;
        if (infoType == nullptr || FAILED(infoType->new_node(&made)))
            return E_OUTOFMEMORY;
        auto* info = static_cast<PersonalCertificateInfo*>(made);
        const Bytes& der = identity.certificate->der;
        std::vector<const Bytes*> pool;
        for (const auto& c : m_image.certificates)
            if (&c != identity.certificate)
                pool.push_back(&c.der);
        std::vector<const Bytes*> path;
        const Bytes* root = nullptr;
        PathOf(der, pool, &path, &root);
        info->keyId = CopyText(KeyIdOf(der));
        info->label = CopyText(identity.key->label.empty() ? identity.certificate->label : identity.key->label);
        HRESULT hr = info->keyId != nullptr && info->label != nullptr ? S_OK : E_OUTOFMEMORY;
        if (SUCCEEDED(hr))
            hr = values::CertificateFromDer(der.data(), der.size(), &info->certificate);
        if (SUCCEEDED(hr) && root != nullptr)
            hr = values::CertificateFromDer(root->data(), root->size(), &info->pathEnd);
        SEQUENCE_OF_Certificate** cursor = &info->path;
        for (size_t i = 0; SUCCEEDED(hr) && i < path.size(); ++i) {
            Certificate* c = nullptr;
            hr = values::CertificateFromDer(path[i]->data(), path[i]->size(), &c);
            if (SUCCEEDED(hr))
                hr = AppendNode(SEC_TYPE_SEQUENCE_OF_Certificate, cursor, c);
            if (FAILED(hr) && c != nullptr)
                c->Release();
        }
        if (SUCCEEDED(hr))
            hr = keychain::SignatureAlgorithms(KeyTypeOf(der), &info->sigAlgs);
        if (FAILED(hr)) {
            infoType->free(info);
            return hr;
        }
        *out = info;
        return S_OK;
    }

    HRESULT KeyOperation(SECAttribute* attributes, uint32_t algorithmId, const unsigned char* in,
                         unsigned long inLength, unsigned char* out, unsigned long* outLength, bool sign)
    {
        if (outLength == nullptr)
            return E_POINTER;
        if (in == nullptr || inLength == 0 || inLength > (64u << 10))
            return E_INVALIDARG;
        const char* keyId = nullptr;
        const AlgId* algorithm = nullptr;
        for (const SECAttribute* a = attributes; a != nullptr; a = a->next) {
            if (a->id == SEC_ATTR_KEY_ID)
                keyId = static_cast<const char*>(a->value);
            else if (a->id == algorithmId)
                algorithm = static_cast<const AlgId*>(a->value);
        }
        std::lock_guard<std::mutex> lock(m_lock);
        Refresh();
        if (!m_loggedIn)
            return E_PSE_NOTLOGGEDIN;
        const filepse::KeyBag* key = FindKey(keyId);
        if (key == nullptr || key->pkcs8.empty())
            return E_PSE_NOTFOUND;
        HRESULT hr;
        SecretBytes result;
        if (sign) {
            Bytes signature;
            hr = filepse::SignWithKey(key->pkcs8, algorithm, true, in, inLength, &signature);
            result.assign(signature.begin(), signature.end());
        } else {
            hr = filepse::DecryptWithKey(key->pkcs8, algorithm, in, inLength, &result);
        }
        if (FAILED(hr))
            return hr;
        if (out == nullptr || *outLength < result.size()) {
            *outLength = result.size();
            return E_BUFFERTOOSMALL;
        }
        std::memcpy(out, result.data(), result.size());
        *outLength = result.size();
        return S_OK;
    }

    // Runs a change on the file as it is now and writes it; the object
    // takes the new content only once the file has it. `change` answers
    // S_FALSE when there is nothing to write.
    HRESULT Change(const std::function<HRESULT(PseImage&)>& change)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_loggedIn)
            return E_PSE_NOTLOGGEDIN;
        WriteLock fileLock;
        HRESULT hr = fileLock.Take(m_path);
        if (FAILED(hr))
            return hr;
        std::string password(reinterpret_cast<const char*>(m_password.data()), m_password.size());
        Bytes der;
        Stamp stamp;
        PseImage image;
        hr = ReadFile(m_path, &der, &stamp);
        if (SUCCEEDED(hr))
            hr = filepse::ParsePseFile(der.data(), der.size(), password.c_str(), password.size(), &image);
        if (SUCCEEDED(hr))
            hr = change(image);
        Bytes written;
        if (hr == S_OK)
            hr = filepse::BuildPseFile(image, password.c_str(), password.size(), &written);
        OPENSSL_cleanse(password.data(), password.size());
        if (hr != S_OK) {
            if (hr == S_FALSE) {
                m_image = std::move(image);
                m_stamp = stamp;
            }
            return hr;
        }
        std::string temporary;
        hr = WriteTemporary(m_path, written, &temporary);
        if (FAILED(hr))
            return hr;
        if (rename(temporary.c_str(), m_path.c_str()) != 0) {
            unlink(temporary.c_str());
            return E_FAIL;
        }
        SyncFolder(m_path);
        m_image = std::move(image);
        CurrentStamp(m_path, &m_stamp);
        return S_OK;
    }

    const std::string m_path;
    std::mutex m_lock;
    PseImage m_image;
    Stamp m_stamp;
    bool m_loggedIn = false;
    SecretBytes m_password;  // kept for the writes of this login
};

// The PSE file as the source of its identities' token objects; each holds
// one reference of the file's PSE object.
class FileSource final : public keychain::IdentitySource {
public:
    explicit FileSource(FilePse* pse) : m_pse(pse) { m_pse->AddRef(); }
    ~FileSource() override { m_pse->Release(); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    HRESULT Present(const keychain::IdentityInfo& identity) override { return m_pse->HasIdentity(identity.keyId); }
    HRESULT Sign(const keychain::IdentityInfo& identity, const AlgId* algorithm, bool digestInput,
                 std::span<const uint8_t> input, std::vector<uint8_t>* signature) override
    {
        return m_pse->SignFor(identity.keyId, algorithm, digestInput, input, signature);
    }
    HRESULT Decrypt(const keychain::IdentityInfo& identity, const AlgId* algorithm, std::span<const uint8_t> input,
                    SecretBytes* plain) override
    {
        return m_pse->DecryptFor(identity.keyId, algorithm, input, plain);
    }
    HRESULT Path(const keychain::IdentityInfo& identity, std::vector<Bytes>* path, Bytes* root) override
    {
        return m_pse->PathFor(identity.certificate, path, root);
    }

private:
    FilePse* m_pse;
};

HRESULT FilePse::FindIdentity(const char* keyId, const char* label, keychain::IdentityPtr* out,
                              keychain::SourcePtr* source)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Refresh();
    for (const Identity& identity : Identities()) {
        const std::string& name = identity.key->label.empty() ? identity.certificate->label : identity.key->label;
        const Bytes& der = identity.certificate->der;
        if ((keyId != nullptr && strcasecmp(keyId, KeyIdOf(der).c_str()) != 0) || (label != nullptr && name != label))
            continue;
        try {
            auto info = std::make_shared<keychain::IdentityInfo>();
            SHA1(der.data(), der.size(), info->sha1.data());
            info->certificate = der;
            info->printName = name;
            info->keyType = KeyTypeOf(der);
            info->keyId = KeyIdOf(der);
            *source = std::make_shared<FileSource>(this);
            *out = std::move(info);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    return E_PSE_NOTFOUND;
}

}  // namespace

HRESULT OpenFilePse(PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    std::string path;
    HRESULT hr = PseFilePath(&path);
    if (FAILED(hr))
        return hr;
    Bytes der;
    Stamp stamp;
    hr = ReadFile(path, &der, &stamp);
    if (FAILED(hr))
        return hr;
    PseImage image;
    hr = filepse::ParsePseFile(der.data(), der.size(), nullptr, 0, &image);
    if (FAILED(hr))
        return hr;
    try {
        *out = new FilePse(std::move(path), std::move(image), stamp);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT InitializeFilePse(const char* name, const char* password)
{
    if (name != nullptr || password == nullptr || *password == 0)
        return E_INVALIDARG;
    size_t length = strnlen(password, filepse::kMaxPasswordLength + 1);
    if (length > filepse::kMaxPasswordLength)
        return E_INVALIDARG;
    std::string path;
    HRESULT hr = PseFilePath(&path);
    if (FAILED(hr))
        return hr;
    WriteLock lock;
    hr = lock.Take(path);
    if (FAILED(hr))
        return hr;
    Bytes der;
    hr = filepse::BuildPseFile(PseImage {}, password, length, &der);
    if (FAILED(hr))
        return hr;
    std::string temporary;
    hr = WriteTemporary(path, der, &temporary);
    if (FAILED(hr))
        return hr;
    // A link never replaces an existing file.
    int rc = link(temporary.c_str(), path.c_str());
    int error = errno;
    unlink(temporary.c_str());
    if (rc != 0)
        return error == EEXIST ? E_PSE_EXISTS : E_FAIL;
    SyncFolder(path);
    return S_OK;
}

}  // namespace kestrin::qevcrypto
