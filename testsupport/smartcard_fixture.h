// A smart card for tests, end to end through pcscd: the reader "Virtual PCD
// 00 00" of vsmartcard's vpcd driver in a running pcscd, or in a "pcscd -f"
// started here and stopped by its process id; a card is in the reader while
// a "vicc -t iso7816" process is connected to it. SoftHSM2 (its configuration
// in a temporary folder) serves the reader's keys through a token labelled
// with the reader's name: an RSA key with its certificate (id 01), issued by
// a CA whose certificate is on the token too (id 02, no key). Start() points
// this process's PKCS#11 module setting at SoftHSM2.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "test_process.h"

namespace kestrin::testsupport {

class SmartCardFixture {
public:
    static constexpr const char* kReader = "Virtual PCD 00 00";
    static constexpr const char* kSlotName = "secpcsc:Virtual PCD 00 00";
    static constexpr const char* kPin = "1234";
    static constexpr const char* kSoPin = "5678";
    static constexpr const char* kKeyId = "01";
    static constexpr const char* kCaId = "02";
    static constexpr const char* kModuleSetting = "KESTRIN_PKCS11_MODULE";

    SmartCardFixture();
    ~SmartCardFixture();
    SmartCardFixture(const SmartCardFixture&) = delete;
    SmartCardFixture& operator=(const SmartCardFixture&) = delete;

    // pcscd with the reader, and the token; false (with `error`) when any step fails.
    bool Start(std::string& error);
    // Both wait (up to 30 s) until pcscd sees the change.
    bool InsertCard(std::string& error);
    bool RemoveCard(std::string& error);
    void Stop();

    // SOFTHSM2_CONF and the module setting.
    std::map<std::string, std::string> Environment() const;
    // pkcs11-tool on the token with the user PIN; true when it succeeded.
    bool Pkcs11Tool(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // A certificate object whose value is `der` as it stands (pkcs11-tool
    // writes only certificates that decode); true when written.
    bool WriteCertificateObject(const std::vector<uint8_t>& der, const std::string& id, const std::string& label) const;
    // PEM files: the user's certificate and public key, the CA's certificate.
    std::string CertificatePem() const { return folder() + "/user.pem"; }
    std::string PublicKeyPem() const { return folder() + "/user.pub.pem"; }
    std::string CaPem() const { return folder() + "/ca.pem"; }
    const std::string& folder() const { return m_folder.path(); }

private:
    bool StartPcscd(std::string& error);
    bool MakeToken(std::string& error);
    bool WaitForCard(bool present) const;

    TempFolder m_folder;
    ChildProcess m_pcscd;  // ours only when we started it
    ChildProcess m_card;
};

}  // namespace kestrin::testsupport
