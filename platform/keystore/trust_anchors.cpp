// The certificates of the system's CA bundle (the store's system-anchor
// option): every PEM certificate of a bundle file, or of the files of a
// hashed folder, once each.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

// A larger file is no certificate bundle.
constexpr off_t kMaxBundleSize = 16 << 20;

void ReadPemFile(const std::string& path, std::set<Fingerprint>& seen, std::vector<Certificate>& out)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxBundleSize)
        return;
    std::unique_ptr<BIO, detail::OsslDeleter<BIO_free>> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        return;
    for (;;) {
        detail::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        Certificate c;
        if (FAILED(detail::EncodeCertificate(cert.get(), &c.der, &c.sha1)) || !seen.insert(c.sha1).second)
            continue;
        out.push_back(std::move(c));
    }
}

}  // namespace

HRESULT KeyStore::ListSystemAnchors(std::vector<Certificate>* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        std::vector<Certificate> found;
        std::set<Fingerprint> seen;
        const std::string& where = impl_->systemAnchors;
        std::error_code ec;
        if (!where.empty() && std::filesystem::is_directory(where, ec)) {
            std::vector<std::string> files;
            for (const auto& entry : std::filesystem::directory_iterator(where, ec))
                files.push_back(entry.path().string());
            std::sort(files.begin(), files.end());
            for (const std::string& file : files)
                ReadPemFile(file, seen, found);
        } else if (!where.empty()) {
            ReadPemFile(where, seen, found);
        }
        ERR_clear_error();
        *out = std::move(found);
        return out->empty() ? S_FALSE : S_OK;
    });
}

}  // namespace kestrin::keystore
