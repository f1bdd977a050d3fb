// Another process changing the user's key store (the default path of its
// environment). Arguments, done in order:
//   import <file.p12>       imports the identity (password "secret")
//   delete <SHA-1 in hex>   deletes the identity, key and certificate
//   burst <file.p12> <n>    imports and deletes the identity n times
// Exit status 0 when every step succeeded.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "keystore.h"

using namespace kestrin::keystore;

namespace {

std::vector<uint8_t> ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Import(KeyStore& store, const char* path, Fingerprint* sha1)
{
    std::vector<uint8_t> data = ReadFile(path);
    Pkcs12Import import;
    if (data.empty() || store.ImportPkcs12(data, "secret", &import) != S_OK)
        return false;
    *sha1 = import.identity.sha1;
    return true;
}

bool ParseSha1(const std::string& hex, Fingerprint* out)
{
    if (hex.size() != 2 * out->size())
        return false;
    for (size_t i = 0; i < out->size(); ++i) {
        char* end = nullptr;
        std::string pair = hex.substr(2 * i, 2);
        (*out)[i] = static_cast<uint8_t>(std::strtoul(pair.c_str(), &end, 16));
        if (end != pair.c_str() + 2)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<KeyStore> store;
    std::string message;
    if (KeyStore::Open(Options {}, &store, &message) != S_OK) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        Fingerprint sha1 {};
        if (step == "import" && i + 1 < argc) {
            if (!Import(*store, argv[++i], &sha1))
                return 2;
        } else if (step == "delete" && i + 1 < argc) {
            if (!ParseSha1(argv[++i], &sha1) || store->DeleteIdentity(sha1, DeletePart::Both) != S_OK)
                return 3;
        } else if (step == "burst" && i + 2 < argc) {
            const char* path = argv[++i];
            int count = std::atoi(argv[++i]);
            for (int n = 0; n < count; ++n)
                if (!Import(*store, path, &sha1) || store->DeleteIdentity(sha1, DeletePart::Both) != S_OK)
                    return 4;
        } else {
            return 5;
        }
    }
    return 0;
}
