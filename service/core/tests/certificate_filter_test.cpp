// The certificate filter over certificates made by openssl: key algorithms,
// validity, name rules and the key-usage and extended-key-usage lists, with
// version 1 and version 3 certificates that lack the usage extensions.
#include "certificate_filter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "service_fixture.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CCertificateFilter;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

// Certificates made once, all under one issuing CA:
//   rsa  RSA, v3, key usage digitalSignature, extended key usage clientAuth
//   enc  EC, v3, digitalSignature + keyEncipherment, EFS recovery only
//   dsa  DSA, v3 without usage extensions; ec the same with an EC key
//   ed   Ed25519, v3
//   v1   RSA, version 1 (no extensions at all)
//   old  EC, version 1, expired in 2021
class FilterPki {
public:
    static FilterPki& Get()
    {
        static FilterPki pki;
        return pki;
    }
    std::map<std::string, std::string> der;

private:
    FilterPki()
    {
        char pattern[] = "/tmp/zelkfilter-XXXXXX";
        m_dir = mkdtemp(pattern);
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 "
            "-subj '/O=Kestrin Test/CN=Filter Issuing CA' -keyout ca.key -out ca.pem");
        Run("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsa.param");
        struct Leaf {
            const char* name;
            const char* key;
            const char* cn;
            const char* ext;  // NULL: a version 1 certificate
        } leaves[] = {
            {"rsa", "rsa:2048", "Alice RSA", "keyUsage=digitalSignature\nextendedKeyUsage=clientAuth\n"},
            {"enc", "ec -pkeyopt ec_paramgen_curve:P-256", "Alice Enc",
             "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=1.3.6.1.4.1.311.10.3.4.1\n"},
            {"dsa", "dsa:dsa.param", "Bob DSA", "subjectKeyIdentifier=hash\n"},
            {"ec", "ec -pkeyopt ec_paramgen_curve:P-256", "Bob EC", "subjectKeyIdentifier=hash\n"},
            {"ed", "ed25519", "Ed", "keyUsage=digitalSignature\n"},
            {"v1", "rsa:2048", "Carol V1", nullptr},
        };
        int serial = 10;
        for (const Leaf& leaf : leaves) {
            std::string n = leaf.name;
            Run(std::string("openssl req -new -newkey ") + leaf.key + " -nodes -subj '/O=Kestrin Test/CN=" + leaf.cn
                + "' -keyout " + n + ".key -out " + n + ".csr");
            std::string ext;
            if (leaf.ext) {
                std::ofstream(m_dir + "/" + n + ".ext") << leaf.ext;
                ext = " -extfile " + n + ".ext";
            }
            Run("openssl x509 -req -in " + n + ".csr -CA ca.pem -CAkey ca.key -set_serial " + std::to_string(serial++)
                + " -days 30" + ext + " -out " + n + ".pem");
        }
        // A certificate that expired long ago, through openssl ca's explicit dates.
        std::ofstream(m_dir + "/ca.cnf") << "[ca]\ndefault_ca=c\n[c]\ndatabase=index\nnew_certs_dir=.\n"
                                            "serial=serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n";
        std::ofstream(m_dir + "/index");
        std::ofstream(m_dir + "/serial") << "40\n";
        Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=Old' -keyout old.key "
            "-out old.csr");
        Run("openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in old.csr -startdate 20200101000000Z "
            "-enddate 20210101000000Z -notext -out old.pem");
        for (const char* n : {"rsa", "enc", "dsa", "ec", "ed", "v1", "old"}) {
            std::string name = n;
            Run("openssl x509 -in " + name + ".pem -outform DER -out " + name + ".der");
            std::ifstream in(m_dir + "/" + name + ".der", std::ios::binary);
            der[name] = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        }
    }
    ~FilterPki()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    void Run(const std::string& command)
    {
        std::system(("cd " + m_dir + " && " + command + " >/dev/null 2>&1").c_str());
    }
    std::string m_dir;
};

const char* const kAll[] = {"rsa", "enc", "dsa", "ec", "ed", "v1", "old"};

class CertificateFilterTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        for (const char* name : kAll) {
            const std::string& der = FilterPki::Get().der[name];
            ASSERT_FALSE(der.empty()) << name;
            OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(der.data()))};
            void* certificate = nullptr;
            ASSERT_EQ(Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate), S_OK) << name;
            m_certs[name] = static_cast<Certificate*>(certificate);
        }
    }
    void TearDown() override
    {
        for (auto& [name, certificate] : m_certs)
            certificate->Release();
        ServiceTest::TearDown();
    }

    // The names of the certificates that pass a filter with these rules.
    std::string Passing(const std::vector<std::pair<std::string, std::string>>& rules)
    {
        ZELK_IPolicy* policy = nullptr;
        EXPECT_EQ(ZELK_PolOpenType("/", "zelk.policy.mem", &policy), S_OK);
        for (const auto& [name, value] : rules) {
            if (name == "CAPIFilterValidOnly")
                policy->SetDWORD(name.c_str(), static_cast<unsigned>(std::stoul(value)));
            else
                policy->SetString(name.c_str(), value.c_str());
        }
        CCertificateFilter* filter = nullptr;
        EXPECT_EQ(CCertificateFilter::New(&filter), S_OK);
        EXPECT_EQ(filter->SetPolicy(policy), S_OK);
        policy->Release();
        std::string passing;
        for (const char* name : kAll)
            if (filter->Match(m_certs[name], nullptr))
                passing += std::string(passing.empty() ? "" : " ") + name;
        filter->Release();
        return passing;
    }

    std::map<std::string, Certificate*> m_certs;
};

struct RuleCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> rules;
    const char* passing;
};

TEST_F(CertificateFilterTest, RulesOverOpensslCertificates)
{
    const RuleCase cases[] = {
        {"no rules: only the key algorithm counts", {}, "rsa enc dsa ec v1 old"},
        {"valid only", {{"CAPIFilterValidOnly", "1"}}, "rsa enc dsa ec v1"},
        {"issuer anywhere, any case", {{"CAPIFilterIssuerDN", "issuing ca"}}, "rsa enc dsa ec v1 old"},
        {"issuer not contained", {{"CAPIFilterIssuerDN", "Other CA"}}, ""},
        {"subject", {{"CAPIFilterSubjectDN", "alice"}}, "rsa enc"},
        {"subject excluded", {{"CAPIFilterExcludeSubjectDN", "BOB"}}, "rsa enc v1 old"},
        {"issuer excluded", {{"CAPIFilterExcludeIssuerDN", "filter issuing"}}, ""},
        {"issuer not excluded", {{"CAPIFilterExcludeIssuerDN", "Other CA"}}, "rsa enc dsa ec v1 old"},
        {"required and forbidden bits", {{"CAPIFilterKeyUsage", "+digitalSignature-KeyEncipherment"}}, "rsa v1 old"},
        {"unknown word after a sign is skipped", {{"CAPIFilterKeyUsage", "+SIGNATUREWORD"}}, "rsa enc v1 old"},
        {"a sign after a sign is passed over", {{"CAPIFilterKeyUsage", "+-KEYENCIPHERMENT"}}, "rsa enc v1 old"},
        {"a list ending in a sign", {{"CAPIFilterKeyUsage", "+KEYENCIPHERMENT-"}}, "enc v1 old"},
        {"a bare name requires nothing", {{"CAPIFilterKeyUsage", "KEYENCIPHERMENT"}}, "rsa enc v1 old"},
        {"extended usage required", {{"CAPIFilterExtendedKeyUsage", "+ClientAuthentication"}}, "rsa v1 old"},
        {"extended usage forbidden", {{"CAPIFilterExtendedKeyUsage", "-clientauthentication"}}, "enc v1 old"},
        {"the recovery identifier can be named",
         {{"CAPIFilterExtendedKeyUsage", "+MICROSOFTEFSRECOVERY"}},
         "enc v1 old"},
        {"the shorter name is its own identifier", {{"CAPIFilterExtendedKeyUsage", "+MICROSOFTEFS"}}, "v1 old"},
    };
    for (const RuleCase& c : cases)
        EXPECT_EQ(Passing(c.rules), c.passing) << c.what;
}

TEST_F(CertificateFilterTest, RejectionsAreTracedButAMissingExtensionIsNot)
{
    CaptureTrace(4);
    EXPECT_EQ(Passing({{"CAPIFilterKeyUsage", "+digitalsignature"}}), "rsa enc v1 old");
    EXPECT_EQ(CountTrace("CCertificateFilter:: Certificate: [CN=Ed, O=Kestrin Test] rejected because only RSA, DSA "
                         "and ECDSA keys are supported"),
              1u);
    EXPECT_EQ(CountTrace("CAPIFilter:: CAPIFilterKeyUsage() filter: [+digitalsignature] "), 6u);
    EXPECT_EQ(CountTrace("rejected by filter: [CAPIFilterKeyUsage]"), 0u);  // dsa and ec lack the extension

    EXPECT_EQ(Passing({{"CAPIFilterSubjectDN", "Alice"}}), "rsa enc");
    EXPECT_EQ(CountTrace("CCertificateFilter:: CAPIFilterSubjectDN() MUST CONTAIN \"ALICE\" ..."), 6u);
    EXPECT_EQ(CountTrace("CCertificateFilter:: Certificate: [CN=Bob EC, O=Kestrin Test] rejected by filter: "
                         "[CAPIFilterSubjectDN]"),
              1u);
}

TEST_F(CertificateFilterTest, WithoutPolicyOrCertificate)
{
    CCertificateFilter* filter = nullptr;
    ASSERT_EQ(CCertificateFilter::New(&filter), S_OK);
    EXPECT_TRUE(filter->Match(m_certs["dsa"], nullptr));
    EXPECT_FALSE(filter->Match(m_certs["ed"], nullptr));
    EXPECT_FALSE(filter->Match(nullptr, nullptr));
    void* other = nullptr;
    EXPECT_EQ(filter->QueryInterface(IID_IUnknown, &other), S_OK);
    static_cast<IUnknown*>(other)->Release();
    filter->Release();
}

}  // namespace
}  // namespace kestrin::service::test
