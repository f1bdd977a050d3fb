#include "smartcard_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <winscard.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace kestrin::testsupport {
namespace {

constexpr const char* kSoftHsm = "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
constexpr const char* kPcscd = "/usr/sbin/pcscd";
// Debian's vsmartcard puts its Python package below site-packages, where
// Python does not look.
constexpr const char* kViccPackage = "/usr/lib/python3/site-packages/virtualsmartcard";
constexpr auto kPatience = std::chrono::seconds(30);

enum class Reader { NoPcscd, Missing, Empty, Card };

Reader ReaderState()
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return Reader::NoPcscd;
    SCARD_READERSTATE state {};
    state.szReader = SmartCardFixture::kReader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    Reader result = Reader::Missing;
    if (SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS
        && (state.dwEventState & SCARD_STATE_UNKNOWN) == 0) {
        result = (state.dwEventState & SCARD_STATE_PRESENT) != 0 ? Reader::Card : Reader::Empty;
    }
    SCardReleaseContext(context);
    return result;
}

template <class Pred>
bool WaitUntil(Pred done)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

SmartCardFixture::SmartCardFixture() : m_folder("kestrin-card-") {}

SmartCardFixture::~SmartCardFixture()
{
    Stop();
}

std::map<std::string, std::string> SmartCardFixture::Environment() const
{
    return {{"SOFTHSM2_CONF", folder() + "/softhsm2.conf"}, {kModuleSetting, kSoftHsm}};
}

bool SmartCardFixture::Pkcs11Tool(const std::vector<std::string>& args, std::string* output) const
{
    std::vector<std::string> all = {"pkcs11-tool", "--module", kSoftHsm, "--token-label", kReader,
                                    "--login",     "--pin",    kPin};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all, Environment(), output) == 0;
}

bool SmartCardFixture::StartPcscd(std::string& error)
{
    Reader state = ReaderState();
    if (state == Reader::NoPcscd) {
        if (!m_pcscd.Start({kPcscd, "-f"}, {})) {
            error = "pcscd cannot be started";
            return false;
        }
        if (!WaitUntil([] { return ReaderState() != Reader::NoPcscd && ReaderState() != Reader::Missing; })) {
            error = "pcscd shows no reader \"" + std::string(kReader) + "\"";
            return false;
        }
        return true;
    }
    if (state == Reader::Missing) {
        error = "the running pcscd has no reader \"" + std::string(kReader) + "\" (vsmartcard-vpcd)";
        return false;
    }
    if (state == Reader::Card) {
        error = "a card is in \"" + std::string(kReader) + "\" already";
        return false;
    }
    return true;
}

bool SmartCardFixture::MakeToken(std::string& error)
{
    const std::string& d = folder();
    mkdir((d + "/tokens").c_str(), 0700);
    std::ofstream(d + "/softhsm2.conf") << "directories.tokendir = " << d
                                        << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    std::ofstream(d + "/user.ext") << "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n";
    auto run = [&](const std::vector<std::string>& args, const char* what) {
        if (RunProgram(args, Environment()) == 0)
            return true;
        error = std::string(what) + " failed";
        return false;
    };
    return run({"softhsm2-util", "--init-token", "--free", "--label", kReader, "--pin", kPin, "--so-pin", kSoPin},
               "softhsm2-util --init-token")
           && run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/ca.key", "-out",
                   d + "/ca.pem", "-subj", "/CN=Kestrin Card CA", "-days", "2"},
                  "the CA")
           && run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/user.key", "-out",
                   d + "/user.csr", "-subj", "/CN=Card Holder"},
                  "the user's request")
           && run({"openssl", "x509", "-req", "-in", d + "/user.csr", "-CA", d + "/ca.pem", "-CAkey", d + "/ca.key",
                   "-CAcreateserial", "-days", "2", "-extfile", d + "/user.ext", "-out", d + "/user.pem"},
                  "the user's certificate")
           && run({"openssl", "pkey", "-in", d + "/user.key", "-pubout", "-out", d + "/user.pub.pem"}, "public key")
           && run({"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", d + "/user.key", "-outform", "DER", "-out",
                   d + "/user.key.der"},
                  "key DER")
           && run({"openssl", "x509", "-in", d + "/user.pem", "-outform", "DER", "-out", d + "/user.der"}, "DER")
           && run({"openssl", "x509", "-in", d + "/ca.pem", "-outform", "DER", "-out", d + "/ca.der"}, "CA DER")
           && (Pkcs11Tool({"--write-object", d + "/user.key.der", "--type", "privkey", "--id", kKeyId, "--label",
                           "Card Holder"})
               || (error = "writing the key", false))
           && (Pkcs11Tool({"--write-object", d + "/user.der", "--type", "cert", "--id", kKeyId, "--label",
                           "Card Holder"})
               || (error = "writing the certificate", false))
           && (Pkcs11Tool({"--write-object", d + "/ca.der", "--type", "cert", "--id", kCaId, "--label", "Card CA"})
               || (error = "writing the CA certificate", false));
}

bool SmartCardFixture::Start(std::string& error)
{
    if (folder().empty()) {
        error = "no temporary folder";
        return false;
    }
    if (!MakeToken(error) || !StartPcscd(error))
        return false;
    for (const auto& [name, value] : Environment())
        setenv(name.c_str(), value.c_str(), 1);
    return true;
}

bool SmartCardFixture::WaitForCard(bool present) const
{
    return WaitUntil([present] { return (ReaderState() == Reader::Card) == present; });
}

bool SmartCardFixture::InsertCard(std::string& error)
{
    const std::string shim = folder() + "/python";
    // vicc wants PyCrypto's package name; Debian ships the same modules as Cryptodome.
    mkdir(shim.c_str(), 0700);
    mkdir((shim + "/Crypto").c_str(), 0700);
    std::ofstream(shim + "/Crypto/__init__.py") << "import Cryptodome\n__path__ = Cryptodome.__path__\n";
    if (!m_card.Start({"vicc", "-t", "iso7816", "-H", "127.0.0.1", "-P", "35963"},
                      {{"PYTHONPATH", shim + ":" + kViccPackage}})) {
        error = "vicc cannot be started";
        return false;
    }
    if (!WaitForCard(true)) {
        error = "no card in the reader after vicc started";
        return false;
    }
    return true;
}

bool SmartCardFixture::RemoveCard(std::string& error)
{
    m_card.Stop();
    if (!WaitForCard(false)) {
        error = "the card stays in the reader after vicc ended";
        return false;
    }
    return true;
}

void SmartCardFixture::Stop()
{
    std::string ignored;
    if (m_card.pid() > 0)
        RemoveCard(ignored);
    m_pcscd.Stop();
}

}  // namespace kestrin::testsupport
