// Certificates made by openssl for the models' tests, the crypto library's
// values over them, and scripted tokens that the models find by name.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qev_records.h"
#include "service_fixture.h"
#include "tokens/token.h"
#include "zelk_object.h"

namespace kestrin::model::test {

// Self-signed certificates with given subjects and validity starts.
class TestCerts {
public:
    struct Made {
        std::string name;
        std::string subject;  // openssl -subj form
        std::string start;    // YYYYMMDDHHMMSSZ
    };
    static const TestCerts& Get();

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // A new reference to the certificate of that name.
    Certificate* Cert(const std::string& name) const;
    // What openssl prints of the certificate: "subject" (name text) or "fingerprint".
    std::string Openssl(const std::string& name, const std::string& what) const;
    bool ok = false;

private:
    TestCerts();
    ~TestCerts();
    std::string m_dir;
};

// A new PCI (library values) of the certificate, without one for "".
PersonalCertificateInfo* NewPci(const char* tokenName, const std::string& cert, const char* keyId = "key");
void FreePci(PersonalCertificateInfo* pci);

// A token that the models find by name, with verbs of the given names.
class TestToken : public ZELK::PSESVC::CToken {
public:
    ZELK_BEGIN_INTMAP(TestToken)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, ZELK::PSESVC::CToken)
    ZELK_END_INTMAP()

    ~TestToken() override;
    HRESULT GetPCI(SET_OF_PersonalCertificateInfo**) override { return S_OK; }
    HRESULT GetVerbByReason(ZELK::PSESVC::IGUIVerb_Reason, ZELK::PSESVC::IGUIVerb** out) override
    {
        *out = nullptr;
        return S_OK;
    }
    HRESULT DoVerbByReason(ZELK::PSESVC::IGUIVerb_Reason) override { return S_FALSE; }
    HRESULT UiUpdateProfile(ZELK::PSESVC::ICredUI*) override { return S_OK; }
    HRESULT GetVerbs(unsigned long* count, ZELK::PSESVC::IGUIVerb*** verbs) override;
    bool NeedLogin() override { return m_loggedOut; }
    bool HaveCerts() override { return m_certs; }
    // Adds a verb of that name with the given state.
    void AddVerb(const char* name, uint32_t state = 0);
    ZELK::PSESVC::IGUIVerb* Verb(const char* name);
    int Run(ZELK::PSESVC::ICredUI*) { return 0; }
    HRESULT DoVerbBegin(ZELK::PSESVC::ICredUI*) override { return S_OK; }
    HRESULT DoVerbEnd(ZELK::PSESVC::ICredUI*) override { return S_OK; }

    bool m_loggedOut = true;
    bool m_certs = true;
    std::vector<ZELK::PSESVC::IGUIVerb*> m_verbs;
};

struct TestTokens {
    // A new token registered under `name` (one reference kept by the registry).
    static CComObject<TestToken>* Add(const std::string& name);
    static void Clear();
};

// Temporary system and user configuration folders around the runtime; the
// runtime's stop releases the model singletons between tests.
class ModelTest : public kestrin::service::test::ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the system or the user preference file with Python's plistlib
    // from a dictionary literal.
    void WritePlist(bool system, const std::string& dict);
    // A value of the user's preference file as plistlib reads it (JSON text).
    std::string PeerRead(const std::string& expression);

    std::string m_config;
};

}  // namespace kestrin::model::test
