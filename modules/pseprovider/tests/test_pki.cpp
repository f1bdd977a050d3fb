#include "test_pki.h"

#include <fstream>
#include <iterator>

#include "test_process.h"

namespace ZELK::ZELKPSE::test {

bool Shell(const std::string& command)
{
    return kestrin::testsupport::RunProgram({"sh", "-c", "(" + command + ") 2>/dev/null"}, {}) == 0;
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

const char* const kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

// Signs <name>.csr with the issuer (or itself) and writes the other forms.
std::string Finish(const std::string& name, const std::string& issuer)
{
    std::string sign = issuer.empty() ? "-signkey " + name + ".key"
                                      : "-CA " + issuer + ".pem -CAkey " + issuer + ".key -CAcreateserial";
    return "openssl x509 -req -in " + name + ".csr " + sign + " -days 30 -extfile " + name + ".ext -out " + name
           + ".pem && openssl x509 -in " + name + ".pem -outform DER -out " + name
           + ".der && openssl pkcs12 -export -in " + name + ".pem -inkey " + name + ".key -passout pass:secret -out "
           + name + ".p12";
}

bool Make(const std::string& folder, const std::string& name, const std::string& organisation,
          const std::string& issuer, const std::string& extensions)
{
    std::ofstream(folder + "/" + name + ".ext") << extensions;
    return Shell("cd '" + folder + "' && openssl req -new " + kNewKey + " -subj '/O=" + organisation + "/CN=" + name
                 + "' -keyout " + name + ".key -out " + name + ".csr && " + Finish(name, issuer));
}

}  // namespace

bool MakeCa(const std::string& folder, const std::string& name, const std::string& issuer)
{
    return Make(folder, name, name + " Org", issuer,
                "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n");
}

bool MakeLeaf(const std::string& folder, const std::string& name, const std::string& issuer,
              const std::string& extensions)
{
    return Make(folder, name, "Leaf Org", issuer, extensions);
}

bool MakeTestPki(const std::string& folder)
{
    const std::string ski = "subjectKeyIdentifier=hash\n";
    return MakeCa(folder, "R", "") && MakeCa(folder, "I", "R") && MakeCa(folder, "R2", "") && MakeCa(folder, "I2", "R2")
           && MakeLeaf(folder, "sign", "I", "keyUsage=digitalSignature\n" + ski)
           && MakeLeaf(folder, "nonrep", "I", "keyUsage=nonRepudiation\n" + ski)
           && MakeLeaf(folder, "encipher", "I", "keyUsage=keyEncipherment\n" + ski)
           && MakeLeaf(folder, "nokeyusage", "I", ski)
           && MakeLeaf(folder, "noski", "I", "keyUsage=digitalSignature\nsubjectKeyIdentifier=none\n")
           && MakeLeaf(folder, "other", "I2", "keyUsage=digitalSignature\n" + ski);
}

bool ImportIdentity(kestrin::keystore::KeyStore& store, const std::string& folder, const std::string& name)
{
    kestrin::keystore::Pkcs12Import imported;
    return store.ImportPkcs12(ReadBytes(folder + "/" + name + ".p12"), "secret", &imported) == S_OK;
}

}  // namespace ZELK::ZELKPSE::test
