#include "smartcard_fixture.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <winscard.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <p11-kit/pkcs11.h>
#include <thread>

namespace kestrin::testsupport {
namespace {

constexpr const char* kSoftHsm = "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
constexpr const char* kPcscd = "/usr/sbin/pcscd";
// Debian's vsmartcard puts its Python package below site-packages, where
// Python does not look.
constexpr const char* kViccPackage = "/usr/lib/python3/site-packages/virtualsmartcard";
constexpr auto kPatience = std::chrono::seconds(30);

// pcscd and the card end with the test process, even when it crashes, so
// that the next test finds the reader empty.
std::vector<std::string> EndingWithUs(std::vector<std::string> command)
{
    command.insert(command.begin(), {"setpriv", "--pdeathsig", "TERM", "--"});
    return command;
}

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
    std::vector<std::string> all = {"pkcs11-tool", "--module", kSoftHsm, "--token-label",
                                    kReader,       "--login",  "--pin",  kPin};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all, Environment(), output) == 0;
}

// Written straight through SoftHSM2, loaded here for the one call: the token
// keeps the object in its folder for the module that loads it next.
bool SmartCardFixture::WriteCertificateObject(const std::vector<uint8_t>& der, const std::string& id,
                                              const std::string& label) const
{
    setenv("SOFTHSM2_CONF", (folder() + "/softhsm2.conf").c_str(), 1);
    void* library = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* f = nullptr;
    bool written = false;
    if (getList != nullptr && getList(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK) {
        CK_SLOT_ID slots[8];
        CK_ULONG count = 8;
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        for (CK_ULONG i = 0; f->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK && i < count && !written; ++i) {
            CK_TOKEN_INFO info {};
            if (f->C_GetTokenInfo(slots[i], &info) != CKR_OK
                || std::string(reinterpret_cast<char*>(info.label), sizeof info.label).rfind(kReader, 0) != 0
                || f->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session)
                       != CKR_OK) {
                continue;
            }
            std::vector<uint8_t> idBytes;
            for (size_t k = 0; k + 1 < id.size(); k += 2)
                idBytes.push_back(static_cast<uint8_t>(std::stoi(id.substr(k, 2), nullptr, 16)));
            CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
            CK_CERTIFICATE_TYPE x509 = CKC_X_509;
            CK_BBOOL yes = CK_TRUE;
            CK_ATTRIBUTE object[] = {
                {CKA_CLASS, &certificateClass, sizeof certificateClass},
                {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                {CKA_TOKEN, &yes, sizeof yes},
                {CKA_ID, idBytes.data(), idBytes.size()},
                {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                {CKA_SUBJECT, const_cast<uint8_t*>(der.data()), der.size()},
                {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()},
            };
            CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
            written =
                f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4) == CKR_OK
                && f->C_CreateObject(session, object, sizeof object / sizeof object[0], &handle) == CKR_OK;
            f->C_CloseSession(session);
        }
        f->C_Finalize(nullptr);
    }
    dlclose(library);
    return written;
}

bool SmartCardFixture::StartPcscd(std::string& error)
{
    Reader state = ReaderState();
    if (state == Reader::NoPcscd) {
        if (!m_pcscd.Start(EndingWithUs({kPcscd, "-f"}), {})) {
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
           && (Pkcs11Tool(
                   {"--write-object", d + "/user.der", "--type", "cert", "--id", kKeyId, "--label", "Card Holder"})
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
    if (!m_card.Start(EndingWithUs({"vicc", "-t", "iso7816", "-H", "127.0.0.1", "-P", "35963"}),
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
