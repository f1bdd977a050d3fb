#include "pki.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kestrin::keystore::test {

bool Shell(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, std::span<const uint8_t> bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::string MakeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "keystore-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr)
        std::abort();
    return pattern;
}

}  // namespace

Pki& Pki::Get()
{
    static Pki pki;
    return pki;
}

Pki::Pki() : dir_(MakeTempDir())
{
    const std::string d = dir_;
    bool ok = Shell("cd " + d
                    + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                      " -keyout ca.key -out ca.pem -days 30"
                      " -subj '/CN=Kestrin Test CA' -addext basicConstraints=critical,CA:TRUE"
                      " -addext keyUsage=critical,keyCertSign,cRLSign"
                      " && openssl x509 -in ca.pem -outform DER -out ca.der");
    if (!ok)
        std::abort();
}

Pki::~Pki()
{
    std::filesystem::remove_all(dir_);
}

void Pki::MakeEndEntity(const std::string& name, const std::string& keyType, const std::string& cn,
                        const std::string& eku)
{
    if (std::filesystem::exists(Path(name + ".pub")))
        return;
    std::string keygen = keyType == "rsa" ? "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                                          : "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1";
    std::string ext = name + ".ext";
    bool ok = Shell("cd " + dir_ + " && " + keygen + " -out " + name + ".key"
                    + " && printf 'basicConstraints=CA:FALSE\\nkeyUsage=critical,digitalSignature,keyEncipherment\\n"
                      "extendedKeyUsage="
                    + eku + "\\n' > " + ext + " && openssl req -new -key " + name + ".key -subj '/CN=" + cn + "' -out "
                    + name + ".csr" + " && openssl x509 -req -in " + name
                    + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 10" + " -extfile " + ext + " -out " + name
                    + ".pem" + " && openssl x509 -in " + name + ".pem -outform DER -out " + name + ".der"
                    + " && openssl x509 -in " + name + ".pem -pubkey -noout > " + name + ".pub");
    ASSERT_TRUE(ok) << "cannot make " << name;
}

void Pki::ExportPkcs12(const std::string& name, const std::string& cert, const std::string& friendlyName, bool legacy)
{
    if (std::filesystem::exists(Path(name + ".p12")))
        return;
    bool ok = Shell("cd " + dir_ + " && openssl pkcs12 -export -inkey " + cert + ".key -in " + cert
                    + ".pem -certfile ca.pem -name '" + friendlyName + "' -passout pass:secret -out " + name + ".p12"
                    + (legacy ? " -legacy" : ""));
    ASSERT_TRUE(ok) << "cannot export " << name;
}

TempDir::TempDir() : path_(MakeTempDir()) {}

TempDir::~TempDir()
{
    std::filesystem::remove_all(path_);
}

void StoreTest::SetUp()
{
    store_ = OpenStore();
    ASSERT_NE(store_, nullptr);
}

std::unique_ptr<KeyStore> StoreTest::OpenStore(const std::string& anchors)
{
    std::string empty = temp_.path() + "/no-anchors";
    mkdir(empty.c_str(), 0700);
    Options options;
    options.path = StorePath();
    options.systemAnchors = anchors.empty() ? empty : anchors;
    std::unique_ptr<KeyStore> store;
    std::string message;
    HRESULT hr = KeyStore::Open(options, &store, &message);
    EXPECT_EQ(hr, S_OK) << message;
    return store;
}

}  // namespace kestrin::keystore::test
