// Keys, certificates and PKCS#12 files made once per test program by the
// openssl command line: a root CA, an intermediate CA under it and, under the
// intermediate, an RSA-2048 and a P-256 identity ("rsa", "ec"), each exported
// with its chain as <name>.p12 (password "secret", friendly name "QEV
// Kestrin (<name>)") and <name>-legacy.p12.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class TestPki {
public:
    static const TestPki& Get()
    {
        static TestPki pki;
        return pki;
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }
    std::vector<uint8_t> Read(const std::string& name) const
    {
        std::ifstream f(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    // Runs a command in `folder` (default: the PKI's own); true on exit status 0.
    bool Run(const std::string& command, const std::string& folder = "") const
    {
        std::string full = "cd '" + (folder.empty() ? dir : folder) + "' && (" + command + ") >/dev/null 2>&1";
        int rc = std::system(full.c_str());
        return WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    }

    std::string dir;
    bool ok = false;

private:
    TestPki()
    {
        char tmpl[] = "/tmp/qevpki-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        dir = tmpl;
        ok = Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 "
                 "  -subj '/CN=Test Root' -addext 'basicConstraints=critical,CA:true' "
                 "  -addext 'keyUsage=critical,keyCertSign,cRLSign' -keyout root.key -out root.pem && "
                 "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=Test Intermediate' "
                 "  -keyout inter.key -out inter.csr && "
                 "printf 'basicConstraints=critical,CA:true\\nkeyUsage=critical,keyCertSign,cRLSign\\n' > ca.ext && "
                 "openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -days 30 "
                 "  -extfile ca.ext -out inter.pem && "
                 "printf 'keyUsage=critical,digitalSignature,keyEncipherment\\n' > ee.ext && "
                 "issue() { openssl req -new -newkey $2 -nodes -subj \"/CN=$1 user\" -keyout $1.key -out $1.csr && "
                 "  openssl x509 -req -in $1.csr -CA inter.pem -CAkey inter.key -set_serial $3 -days 30 "
                 "    -extfile ee.ext -out $1.pem && "
                 "  openssl x509 -in $1.pem -pubkey -noout > $1.pub && "
                 "  cat inter.pem root.pem > chain.pem && "
                 "  openssl pkcs12 -export -in $1.pem -inkey $1.key -certfile chain.pem -name \"QEV Kestrin ($1)\" "
                 "    -passout pass:secret -out $1.p12 && "
                 "  openssl pkcs12 -export -legacy -in $1.pem -inkey $1.key -certfile chain.pem "
                 "    -name \"QEV Kestrin ($1)\" -passout pass:secret -out $1-legacy.p12; } && "
                 "issue rsa rsa:2048 4660 && issue ec 'ec -pkeyopt ec_paramgen_curve:P-256' 4661 && "
                 "for c in root inter rsa ec; do openssl x509 -in $c.pem -outform DER -out $c.der; done");
    }
    ~TestPki()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};
