#include "model_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "model/gui_verb.h"
#include "model/model_owncerts.h"
#include "zelk_holders.h"
#include "zelk_strings.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

const TestCerts::Made kCertificates[] = {
    {"alice", "/C=DE/O=Example/CN=Alice", "20200101000000Z"},
    {"bob2020", "/CN=Bob", "20200101000000Z"},
    {"bob2022", "/CN=Bob", "20220101000000Z"},
    {"bobsmall", "/CN=bob", "20210101000000Z"},
    {"carol", "/CN=Carol", "20200101000000Z"},
};

bool Run(const std::string& command, const std::string& dir)
{
    std::string full = "cd '" + dir + "' && (" + command + ") >/dev/null 2>&1";
    int rc = std::system(full.c_str());
    return WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

std::string Capture(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr)
        out += buffer;
    if (pipe != nullptr)
        pclose(pipe);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::mutex s_mutex;
std::map<std::string, CComObject<TestToken>*> s_tokens;

}  // namespace

TestCerts::TestCerts()
{
    char tmpl[] = "/tmp/modelcerts-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return;
    m_dir = tmpl;
    std::ofstream(Path("ca.cnf")) << "[ca]\ndefault_ca = d\n[d]\ndir = .\ndatabase = index.txt\nnew_certs_dir = .\n"
                                     "serial = serial\ndefault_md = sha256\npolicy = p\nunique_subject = no\n"
                                     "preserve = yes\n[p]\ncountryName = optional\norganizationName = optional\n"
                                     "commonName = supplied\n";
    std::ofstream(Path("index.txt"));
    std::ofstream(Path("serial")) << "01\n";
    ok = true;
    for (const Made& made : kCertificates) {
        ok = ok
             && Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '" + made.subject
                        + "' -keyout " + made.name + ".key -out " + made.name + ".csr && openssl ca -batch -selfsign "
                        + "-config ca.cnf -keyfile " + made.name + ".key -in " + made.name + ".csr -startdate "
                        + made.start + " -enddate 20450101000000Z -notext -out " + made.name
                        + ".pem && openssl x509 -in " + made.name + ".pem -outform DER -out " + made.name + ".der",
                    m_dir);
    }
}

TestCerts::~TestCerts()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

const TestCerts& TestCerts::Get()
{
    static TestCerts certs;
    return certs;
}

Certificate* TestCerts::Cert(const std::string& name) const
{
    std::ifstream f(Path(name + ".der"), std::ios::binary);
    std::vector<unsigned char> der {std::istreambuf_iterator<char>(f), {}};
    OctetString octets {der.size(), der.data()};
    void* out = nullptr;
    EXPECT_EQ(SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&octets, &out), S_OK) << name;
    return static_cast<Certificate*>(out);
}

std::string TestCerts::Openssl(const std::string& name, const std::string& what) const
{
    if (what == "subject")
        return Capture("openssl x509 -in '" + Path(name + ".pem")
                       + "' -noout -subject -nameopt esc_2253,utf8,sep_comma_plus_space,dn_rev,sname | sed "
                         "'s/^subject=//'");
    return Capture("openssl x509 -in '" + Path(name + ".pem") + "' -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g'");
}

PersonalCertificateInfo* NewPci(const char* tokenName, const std::string& cert, const char* keyId)
{
    void* value = nullptr;
    EXPECT_EQ(SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->new_node(&value), S_OK);
    auto* pci = static_cast<PersonalCertificateInfo*>(value);
    if (tokenName != nullptr)
        String_Copy(tokenName, &pci->tokenName);
    if (keyId != nullptr)
        String_Copy(keyId, &pci->keyId);
    if (!cert.empty())
        pci->certificate = TestCerts::Get().Cert(cert);
    return pci;
}

void FreePci(PersonalCertificateInfo* pci)
{
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->free(pci);
}

TestToken::~TestToken()
{
    for (IGUIVerb* verb : m_verbs) {
        static_cast<CGUIVerb*>(verb)->Detach();
        verb->Release();
    }
}

HRESULT TestToken::GetVerbs(unsigned long* count, IGUIVerb*** verbs)
{
    if (count == nullptr || verbs == nullptr)
        return E_INVALIDARG;
    *count = static_cast<unsigned long>(m_verbs.size());
    *verbs = m_verbs.data();
    return S_OK;
}

void TestToken::AddVerb(const char* name, uint32_t state)
{
    CGUIVerb* verb = nullptr;
    ASSERT_EQ(CGUIVerbImpl<TestToken>::New(this, &TestToken::Run, name, &verb), S_OK);
    verb->SetState(state);
    m_verbs.push_back(verb);
}

IGUIVerb* TestToken::Verb(const char* name)
{
    for (IGUIVerb* verb : m_verbs)
        if (std::string(verb->GetVerbName()) == name)
            return verb;
    return nullptr;
}

CComObject<TestToken>* TestTokens::Add(const std::string& name)
{
    CComObject<TestToken>* token = nullptr;
    CComObject<TestToken>::CreateInstance(&token);
    token->AddRef();
    std::lock_guard<std::mutex> lock(s_mutex);
    auto& slot = s_tokens[name];
    if (slot != nullptr)
        slot->Release();
    slot = token;
    return token;
}

void TestTokens::Clear()
{
    std::map<std::string, CComObject<TestToken>*> tokens;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        tokens.swap(s_tokens);
    }
    for (auto& entry : tokens)
        entry.second->Release();
}

void ModelTest::SetUp()
{
    char tmpl[] = "/tmp/modelconfig-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_config = tmpl;
    std::filesystem::create_directories(m_config + "/user/kestrin");
    std::filesystem::create_directories(m_config + "/system/kestrin");
    setenv("XDG_CONFIG_HOME", (m_config + "/user").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (m_config + "/system").c_str(), 1);
    ServiceTest::SetUp();
}

void ModelTest::TearDown()
{
    TestTokens::Clear();
    ServiceTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(m_config, ec);
}

void ModelTest::WritePlist(bool system, const std::string& dict)
{
    std::string file = m_config + (system ? "/system" : "/user") + "/kestrin/settings.plist";
    std::string script = m_config + "/write.py";
    std::ofstream(script) << "import plistlib\nplistlib.dump(" << dict << ", open('" << file
                          << "', 'wb'), sort_keys=False)\n";
    ASSERT_EQ(std::system(("python3 '" + script + "'").c_str()), 0);
}

std::string ModelTest::PeerRead(const std::string& expression)
{
    std::string script = m_config + "/read.py";
    std::ofstream(script) << "import plistlib, json\nd = plistlib.load(open('" << m_config
                          << "/user/kestrin/settings.plist', 'rb'))\nprint(json.dumps(" << expression << "))\n";
    return Capture("python3 '" + script + "'");
}

}  // namespace kestrin::model::test

namespace ZELK::PSESVC {

// The test's tokens stand in for the token manager's.
HRESULT CModelOwnCertsBase::FindToken(const char* name, CToken** out)
{
    *out = nullptr;
    std::lock_guard<std::mutex> lock(kestrin::model::test::s_mutex);
    auto it = name != nullptr ? kestrin::model::test::s_tokens.find(name) : kestrin::model::test::s_tokens.end();
    if (it == kestrin::model::test::s_tokens.end())
        return S_FALSE;
    it->second->AddRef();
    *out = it->second;
    return S_OK;
}

}  // namespace ZELK::PSESVC
