// The candidates of a connection over the real own-certificate models:
// allowed tokens, the rules of a policy and the issuers the server accepts,
// one of them reached only through an intermediate certificate.
#include "model_filter_certs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "model/model_owncerts.h"
#include "service_fixture.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_stringset.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CModelOwnCerts;
using ZELK::PSESVC::IGUIModelContainer;
using ZELK::PSESVC::IGUIModelOwnCert;
using ZELK::PSESVC::IGUIModelOwnCerts;
using ZELK::PSESVC::ModelFilterCerts;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

class FilterCertsTest : public ServiceTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zelkcand-XXXXXX";
        m_dir = mkdtemp(pattern);
        // root -> intermediate -> "Leaf A"; "Leaf B" signs itself.
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 5 -subj '/CN=Cand Root' "
            "-addext basicConstraints=critical,CA:true -keyout root.key -out root.pem");
        Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=Cand Inter' "
            "-keyout inter.key -out inter.csr");
        Run("printf 'basicConstraints=critical,CA:true\\n' > ca.ext && openssl x509 -req -in inter.csr -CA root.pem "
            "-CAkey root.key -set_serial 2 -days 5 -extfile ca.ext -out inter.pem");
        Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=Leaf A' -keyout a.key "
            "-out a.csr && openssl x509 -req -in a.csr -CA inter.pem -CAkey inter.key -set_serial 3 -days 5 "
            "-out a.pem");
        Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 5 -subj '/CN=Leaf B' "
            "-keyout b.key -out b.pem");
        ServiceTest::SetUp();
        for (const char* n : {"root", "inter", "a", "b"}) {
            Run(std::string("openssl x509 -in ") + n + ".pem -outform DER -out " + n + ".der");
            std::ifstream in(m_dir + "/" + n + ".der", std::ios::binary);
            std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(der.data())};
            void* c = nullptr;
            ASSERT_EQ(Type(SEC_TYPE_Certificate)->decode(&bytes, &c), S_OK) << n;
            m_certs[n] = static_cast<Certificate*>(c);
        }
        ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&m_own), S_OK);
        SEQUENCE_OF_Certificate chain {m_certs["inter"], nullptr};
        PersonalCertificateInfo a {};
        a.tokenName = const_cast<char*>("tokkeychain:a");
        a.keyId = const_cast<char*>("ka");
        a.certificate = m_certs["a"];
        a.path = &chain;
        a.pathEnd = m_certs["root"];
        PersonalCertificateInfo b {};
        b.tokenName = const_cast<char*>("tokp11:b");
        b.keyId = const_cast<char*>("kb");
        b.certificate = m_certs["b"];
        ASSERT_EQ(m_own->AddCert(&a, "tokkeychain:a", nullptr, false), S_OK);
        ASSERT_EQ(m_own->AddCert(&b, "tokp11:b", nullptr, false), S_OK);
    }
    void TearDown() override
    {
        if (m_own)
            static_cast<IGUIModelOwnCerts*>(m_own)->Release();
        for (auto& [n, c] : m_certs)
            c->Release();
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    void Run(const std::string& command)
    {
        std::system(("cd " + m_dir + " && " + command + " >/dev/null 2>&1").c_str());
    }
    // The token URIs of the candidates, in order.
    static std::string Members(IGUIModelContainer* container)
    {
        std::string uris;
        for (uint64_t i = 0; i < container->GetElementCount(); ++i) {
            IGUIModelOwnCert* own = nullptr;
            if (container->GetElement(static_cast<unsigned long>(i), IID_IGUIModelOwnCert,
                                      reinterpret_cast<void**>(&own))
                    == S_OK
                && own) {
                uris += std::string(uris.empty() ? "" : " ") + own->GetURI();
                own->Release();
            }
        }
        return uris;
    }
    SET_OF_DName* Issuers(const std::vector<const DName*>& names)
    {
        SET_OF_DName* list = nullptr;
        for (const DName* name : names) {
            Type(SEC_TYPE_SET_OF_DName)->new_node(reinterpret_cast<void**>(&list));
            void* copy = nullptr;
            Type(SEC_TYPE_DName)->copy(name, &copy);
            list->element = static_cast<DName*>(copy);
        }
        return list;
    }

    std::string m_dir;
    std::map<std::string, Certificate*> m_certs;
    CModelOwnCerts* m_own = nullptr;
};

TEST_F(FilterCertsTest, TokensRulesAndIssuers)
{
    const DName* root = m_certs["root"]->getSubject();
    const DName* inter = m_certs["inter"]->getSubject();
    const DName* nobody = m_certs["b"]->getIssuer();  // "Leaf B" issued itself
    SET_OF_String* onlyB = nullptr;
    SET_OF_String_add(&onlyB, "tokp11:b");
    ZELK_IPolicy* rules = nullptr;
    ASSERT_EQ(ZELK_PolOpenType("/", "zelk.policy.mem", &rules), S_OK);
    rules->SetString("CAPIFilterSubjectDN", "leaf a");

    struct {
        const char* what;
        ZELK_IPolicy* policy;
        SET_OF_String* uris;
        std::vector<const DName*> issuers;
        const char* members;
    } cases[] = {
        {"no restriction", nullptr, nullptr, {}, "tokkeychain:a tokp11:b"},
        {"allowed tokens", nullptr, onlyB, {}, "tokp11:b"},
        {"the policy's rules", rules, nullptr, {}, "tokkeychain:a"},
        {"the leaf's issuer", nullptr, nullptr, {inter}, "tokkeychain:a"},
        {"an issuer above the intermediate", nullptr, nullptr, {root}, "tokkeychain:a"},
        {"issuers tried in order", nullptr, nullptr, {nobody, root}, "tokkeychain:a tokp11:b"},
        {"rules and tokens together", rules, onlyB, {}, ""},
    };
    for (const auto& c : cases) {
        SET_OF_DName* issuers = c.issuers.empty() ? nullptr : Issuers(c.issuers);
        IGUIModelContainer* container = nullptr;
        ASSERT_EQ(ModelFilterCerts::New(c.policy, c.uris, issuers, &container), S_OK) << c.what;
        if (issuers)
            Type(SEC_TYPE_SET_OF_DName)->free(issuers);  // the container keeps its own reference
        EXPECT_EQ(Members(container), c.members) << c.what;
        container->Release();
    }
    // An issuer list of a name nobody carries leaves no candidate.
    SET_OF_DName* none = Issuers({rules ? m_certs["a"]->getSubject() : nullptr});
    IGUIModelContainer* container = nullptr;
    ASSERT_EQ(ModelFilterCerts::New(nullptr, none, &container), S_OK);
    EXPECT_EQ(container->GetElementCount(), 0u);
    container->Release();
    Type(SEC_TYPE_SET_OF_DName)->free(none);
    Type(SEC_TYPE_SET_OF_String)->free(onlyB);
    rules->Release();
}

}  // namespace
}  // namespace kestrin::service::test
