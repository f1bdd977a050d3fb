// Temporary session keys: pairs per algorithm and encryption-only flag with
// their lifetime on the models' clock, the certificate's margin, sharing
// between connections of one target, binding to clients, the signature
// cache, and signatures and decryption that openssl checks.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/model_clients.h"
#include "model/model_clock.h"
#include "model/model_tempkeys.h"
#include "model_fixture.h"
#include "qev_crypt.h"
#include "test_process.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

constexpr uint64_t kNow = 1900000000;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

// An AlgId of the library: a dotted identifier and DER parameters (none when empty).
AlgId* NewAlgId(const char* oid, const std::vector<unsigned char>& param = {})
{
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(Types(SEC_TYPE_ObjId));
    auto* a = static_cast<AlgId*>(sec_calloc(1, sizeof(AlgId)));
    EXPECT_EQ(objIds->from_text(oid, &a->objid), S_OK);
    if (!param.empty()) {
        a->param = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
        a->param->data = static_cast<unsigned char*>(sec_malloc(param.size()));
        std::memcpy(a->param->data, param.data(), param.size());
        a->param->length = param.size();
    }
    return a;
}

const std::vector<unsigned char> kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const char kRsa[] = "1.2.840.113549.1.1.1";
const char kEc[] = "1.2.840.10045.2.1";

int Bits(const std::string& spki)
{
    const auto* p = reinterpret_cast<const unsigned char*>(spki.data());
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
    int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
    EVP_PKEY_free(key);
    return bits;
}

// The request and answer lists of one GetKey call.
struct Request {
    explicit Request(AlgId* algorithm, uint32_t lifetime = 0, bool withLifetime = true) : seconds(lifetime)
    {
        alg.id = SEC_ATTR_TEMP_KEY_ALGORITHM;
        alg.value = algorithm;
        alg.type = Types(SEC_TYPE_AlgId);
        life.id = SEC_ATTR_TEMP_KEY_LIFETIME;
        life.value = &seconds;
        alg.next = withLifetime ? &life : nullptr;
        pub.id = SEC_ATTR_TEMP_KEY_PUBLIC;
        named.id = SEC_ATTR_TEMP_KEY;
        created.id = SEC_ATTR_TEMP_KEY_CREATED;
        pub.next = &named;
        named.next = &created;
    }
    ~Request()
    {
        if (alg.value != nullptr)
            Types(SEC_TYPE_AlgId)->free(alg.value);
        Clear();
    }
    void Clear()
    {
        for (SECAttribute* a : {&pub, &named, &created}) {
            if (a->owned && a->value != nullptr)
                a->type->free(a->value);
            a->value = nullptr;
            a->owned = 0;
        }
    }
    // The answered public key's DER.
    std::string PublicDer() const
    {
        if (pub.value == nullptr)
            return "";
        OctetString* der = nullptr;
        EXPECT_EQ(Types(SEC_TYPE_KeyInfo)->encode(pub.value, &der), S_OK);
        std::string out(reinterpret_cast<char*>(der->data), der->length);
        Types(SEC_TYPE_OctetString)->free(der);
        return out;
    }
    uint32_t seconds;
    SECAttribute alg {}, life {}, pub {}, named {}, created {};
};

class TempKeysTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        ModelClockSet(kNow);
        ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/mail", 7001), S_OK);
        ASSERT_EQ(CModelClients::ClientActive("/usr/bin/mail", 7001), S_OK);
    }
    void TearDown() override
    {
        for (CModelApplicationConnection* c : m_connections)
            static_cast<IGUIModelApplicationConnection*>(c)->Release();
        CModelClients::ClientDisconnect("/usr/bin/mail", 7001);
        CModelClients::ClientDisconnect("/usr/bin/news", 7002);
        ModelClockSet(0);
        ModelTest::TearDown();
    }

    // A connection of the thread's active client.
    CModelApplicationConnection* Start(const char* name, const char* uri = "", bool reauthenticate = false,
                                       bool invalidate = false)
    {
        CModelApplicationConnection* c = nullptr;
        EXPECT_EQ(CModelClients::StartApplication(name, uri, nullptr, &c), S_OK);
        c->m_reauthenticate = reauthenticate;
        c->m_invalidateOnExit = invalidate;
        m_connections.push_back(c);
        return c;
    }

    static CModelApplicationTempKey* Key(CModelApplicationConnection* c, Request* request)
    {
        CModelApplicationTempKey* key = nullptr;
        EXPECT_EQ(CModelApplicationTempKeys::GetKey(c, request != nullptr ? &request->alg : nullptr,
                                                    request != nullptr ? &request->pub : nullptr, &key),
                  S_OK);
        if (key != nullptr)
            key->Release();  // the connection and the list hold it
        return key;
    }

    std::vector<CModelApplicationConnection*> m_connections;
};

TEST_F(TempKeysTest, PairsLiveTheirLifetimeOnTheClock)
{
    CModelApplicationConnection* c = Start("imap.example");
    Request shortLived(NewAlgId(kRsa), 600);
    CModelApplicationTempKey* key = Key(c, &shortLived);
    ASSERT_NE(key, nullptr);
    const std::string first = shortLived.PublicDer();
    ASSERT_FALSE(first.empty());
    EXPECT_STREQ(static_cast<char*>(shortLived.created.value), "20300317174640Z");

    // 600 seconds later the pair still answers; one second more and it goes.
    ModelClockSet(kNow + 600);
    shortLived.Clear();
    Key(c, &shortLived);
    EXPECT_EQ(shortLived.PublicDer(), first);
    EXPECT_FALSE(key->IsExpired());
    ModelClockSet(kNow + 601);
    EXPECT_TRUE(key->IsExpired());
    EXPECT_FALSE(key->IsExpired());  // the expired pair was removed
    shortLived.Clear();
    Key(c, &shortLived);
    EXPECT_NE(shortLived.PublicDer(), first);

    // Lifetime 0, and no lifetime at all: never.
    Request forever(NewAlgId(kEc, kP256), 0);
    Request unset(NewAlgId(kEc, kP256), 0, false);
    Key(c, &forever);
    ModelClockSet(kNow + 20ull * 365 * 86400);
    Key(c, &unset);
    EXPECT_EQ(unset.PublicDer(), forever.PublicDer());
    // A lifetime at the top of the range saturates instead of wrapping.
    Request huge(NewAlgId(kEc, kP256), UINT32_MAX);
    EXPECT_EQ(key->getOrCreateKey(&huge.alg, &huge.pub, true), S_OK);
    EXPECT_NE(key->GetTempKeyInfo(static_cast<AlgId*>(huge.alg.value), true), nullptr);
}

TEST_F(TempKeysTest, ACertificateEndingWithinFiveMinutesExpiresTheKey)
{
    PersonalCertificateInfo* pci = NewPci("kvs:alice", "alice");
    ASSERT_NE(pci, nullptr);
    ASSERT_NE(pci->certificate, nullptr);
    ASN1_TIME* end = ASN1_TIME_new();
    ASSERT_EQ(ASN1_TIME_set_string(end, pci->certificate->getNotAfter()), 1);
    struct tm tm {};
    ASSERT_EQ(ASN1_TIME_to_tm(end, &tm), 1);
    ASN1_TIME_free(end);
    const uint64_t notAfter = static_cast<uint64_t>(timegm(&tm));

    CModelApplicationConnection* c = Start("ldap.example");
    ASSERT_EQ(c->SetSelectedPCI(pci), S_OK);
    FreePci(pci);
    Request request(NewAlgId(kEc, kP256));
    CModelApplicationTempKey* key = Key(c, &request);
    ASSERT_NE(key, nullptr);
    ModelClockSet(notAfter - 360);
    EXPECT_FALSE(key->IsExpired());
    ASSERT_EQ(key->SetCachedSignature(reinterpret_cast<const unsigned char*>("d"), 1,
                                      reinterpret_cast<const unsigned char*>("s"), 1),
              S_OK);
    EXPECT_TRUE(key->HasValidCachedSignatures());
    ModelClockSet(notAfter - 300);
    EXPECT_TRUE(key->IsExpired());
    EXPECT_FALSE(key->HasValidCachedSignatures());
    // Clearing drops the certificate too: the key no longer expires by it.
    EXPECT_EQ(key->ClearSignatureCache(), S_OK);
    PersonalCertificateInfo* held = reinterpret_cast<PersonalCertificateInfo*>(1);
    EXPECT_EQ(key->GetPCI(&held), S_OK);
    EXPECT_EQ(held, nullptr);
    EXPECT_FALSE(key->IsExpired());
}

TEST_F(TempKeysTest, ConnectionsOfOneTargetShareAKeyAndItsPairs)
{
    CModelApplicationConnection* a = Start("www.example");
    CModelApplicationConnection* b = Start("www.example");
    CModelApplicationConnection* eom = Start("www.example", "eom:");
    CModelApplicationConnection* other = Start("ftp.example");
    Request ra(NewAlgId(kRsa)), rb(NewAlgId(kRsa)), re(NewAlgId(kRsa)), ro(NewAlgId(kRsa));

    // Without a request nothing is made.
    EXPECT_EQ(Key(a, nullptr), nullptr);
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 0u);

    CModelApplicationTempKey* key = Key(a, &ra);
    // A lookup without a request attaches the listed key of the target.
    EXPECT_EQ(Key(b, nullptr), key);
    EXPECT_EQ(key->GetUsageCount(), 2);
    EXPECT_EQ(Key(b, &rb), key);
    EXPECT_EQ(rb.PublicDer(), ra.PublicDer());
    EXPECT_EQ(Key(eom, &re), key);
    EXPECT_NE(re.PublicDer(), ra.PublicDer());  // encryption-only has its own pair
    EXPECT_NE(Key(other, &ro), key);
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 2u);

    // A requested RSA size below the default is raised; above 4096 no pair is made.
    Request small(NewAlgId(kRsa, {0x02, 0x02, 0x04, 0x00}));
    Key(other, &small);
    EXPECT_EQ(Bits(small.PublicDer()), 2048);
    Request large(NewAlgId(kRsa, {0x02, 0x02, 0x20, 0x00}));
    Request none(nullptr);
    Request unknown(NewAlgId("1.3.101.112"));
    CModelApplicationTempKey* otherKey = Key(other, nullptr);
    for (Request* r : {&large, &none, &unknown}) {
        EXPECT_LT(otherKey->getOrCreateKey(&r->alg, &r->pub, false), 0);
        EXPECT_EQ(r->pub.value, nullptr);
    }
    EXPECT_EQ(otherKey->GetTempKeyInfo(static_cast<AlgId*>(large.alg.value), false), nullptr);
    EXPECT_EQ(otherKey->GetTempKeyInfo(static_cast<AlgId*>(nullptr), false), nullptr);

    // The key goes with its last connection.
    a->ConnectionClosed();
    b->ConnectionClosed();
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 2u);
    eom->ConnectionClosed();
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 1u);
    other->ConnectionClosed();
    other->ConnectionClosed();  // a second close changes nothing
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 0u);
}

TEST_F(TempKeysTest, BoundKeysFollowTheirClients)
{
    CModelApplicationConnection* mail1 = Start("smtp.example", "", true);
    CModelApplicationConnection* mail2 = Start("smtp.example", "", true);
    CModelApplicationConnection* mail3 = Start("pop.example", "", false, true);
    CModelApplicationConnection* plain = Start("smtp.example");
    ASSERT_EQ(CModelClients::ClientConnect("/usr/bin/news", 7002), S_OK);
    ASSERT_EQ(CModelClients::ClientActive("/usr/bin/news", 7002), S_OK);
    CModelApplicationConnection* news = Start("smtp.example", "", true);

    Request r1(NewAlgId(kEc, kP256)), r2(NewAlgId(kEc, kP256)), r3(NewAlgId(kEc, kP256)), r4(NewAlgId(kEc, kP256)),
        r5(NewAlgId(kEc, kP256));
    CModelApplicationTempKey* bound = Key(mail1, &r1);
    EXPECT_TRUE(bound->IsBound());
    EXPECT_EQ(Key(mail2, &r2), bound);  // same client
    EXPECT_NE(Key(plain, &r4), bound);  // a plain connection never takes a bound key
    EXPECT_NE(Key(news, &r5), bound);   // another client neither
    CModelApplicationTempKey* invalidating = Key(mail3, &r3);
    EXPECT_FALSE(invalidating->IsBound());
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 4u);

    // The connections end; the mail client's keys stay while it runs, and go when it stops.
    for (CModelApplicationConnection* c : {mail1, mail2, mail3, plain})
        c->ConnectionClosed();
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 3u);
    ASSERT_EQ(CModelClients::ClientDisconnect("/usr/bin/mail", 7001), S_OK);
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 1u);
    ASSERT_EQ(CModelClients::ClientDisconnect("/usr/bin/news", 7002), S_OK);
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 0u);
}

TEST_F(TempKeysTest, SignatureCacheAnswersExactDataReplacesAndStaysBounded)
{
    CModelApplicationConnection* c = Start("cache.example");
    Request request(NewAlgId(kEc, kP256));
    CModelApplicationTempKey* key = Key(c, &request);
    auto bytes = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
    unsigned char out[64];
    unsigned long length = sizeof out;
    EXPECT_EQ(key->GetCachedSignature(bytes("never"), 5, out, &length), S_FALSE);
    EXPECT_FALSE(key->HasValidCachedSignatures());

    const std::string sig(40, 'S');
    ASSERT_EQ(key->SetCachedSignature(bytes("data"), 4, bytes(sig), sig.size()), S_OK);
    length = sig.size() - 1;
    EXPECT_EQ(key->GetCachedSignature(bytes("data"), 4, out, &length), SEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, sig.size());
    EXPECT_EQ(key->GetCachedSignature(bytes("dat"), 3, out, &length), S_FALSE);
    ASSERT_EQ(key->GetCachedSignature(bytes("data"), 4, out, &length), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), sig);
    EXPECT_EQ(key->GetCachedSignature(bytes("data"), 4, out, nullptr), E_INVALIDARG);

    // The same data again replaces its signature.
    ASSERT_EQ(key->SetCachedSignature(bytes("data"), 4, bytes("new"), 3), S_OK);
    EXPECT_EQ(key->GetCachedSignatureCount(), 1u);
    length = sizeof out;
    ASSERT_EQ(key->GetCachedSignature(bytes("data"), 4, out, &length), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), "new");

    // Empty and 1 MiB data are kept; more is refused.
    ASSERT_EQ(key->SetCachedSignature(nullptr, 0, bytes("empty"), 5), S_OK);
    length = sizeof out;
    EXPECT_EQ(key->GetCachedSignature(nullptr, 0, out, &length), S_OK);
    const std::string big(kMaxCachedData, 'b');
    EXPECT_EQ(key->SetCachedSignature(bytes(big), big.size(), bytes("b"), 1), S_OK);
    const std::string tooBig(kMaxCachedData + 1, 'b');
    EXPECT_EQ(key->SetCachedSignature(bytes(tooBig), tooBig.size(), bytes("b"), 1), E_INVALIDARG);
    EXPECT_EQ(key->SetCachedSignature(nullptr, 1, bytes("b"), 1), E_INVALIDARG);

    // Beyond the bound the oldest entries go.
    for (size_t i = 0; i < kMaxCachedSignatures; ++i) {
        const std::string d = "entry " + std::to_string(i);
        ASSERT_EQ(key->SetCachedSignature(bytes(d), d.size(), bytes("s"), 1), S_OK);
    }
    EXPECT_EQ(key->GetCachedSignatureCount(), kMaxCachedSignatures);
    length = sizeof out;
    EXPECT_EQ(key->GetCachedSignature(bytes("data"), 4, out, &length), S_FALSE);
    EXPECT_EQ(key->GetCachedSignature(bytes("entry 0"), 7, out, &length), S_OK);
    EXPECT_TRUE(key->HasValidCachedSignatures());
    EXPECT_EQ(key->ClearSignatureCache(), S_OK);
    EXPECT_EQ(key->GetCachedSignatureCount(), 0u);
}

struct Openssl {
    TempFolder folder {"kestrin-tempkeys-"};
    std::string Path(const std::string& name) const { return folder.path() + "/" + name; }
    void Write(const std::string& name, const std::string& data) const
    {
        std::ofstream(Path(name), std::ios::binary) << data;
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream f(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    int Run(const std::vector<std::string>& args) const { return RunProgram(args, {}); }
};

TEST_F(TempKeysTest, OpensslVerifiesSignaturesAndEncryptsForDecryptKey)
{
    Openssl tool;
    const std::string transcript = "client hello, server hello, key exchange";
    tool.Write("data", transcript);
    std::string digest(32, '\0');
    unsigned int n = 0;
    EVP_Digest(transcript.data(), transcript.size(), reinterpret_cast<unsigned char*>(digest.data()), &n, EVP_sha256(),
               nullptr);

    struct Case {
        const char* name;
        AlgId* algorithm;
        const char* signatureAlgorithm;
    };
    for (const Case& k : {Case {"rsa", NewAlgId(kRsa), "1.2.840.113549.1.1.11"},
                          Case {"p256", NewAlgId(kEc, kP256), "1.2.840.10045.4.3.2"}}) {
        SCOPED_TRACE(k.name);
        CModelApplicationConnection* c = Start(k.name);
        Request request(k.algorithm);
        CModelApplicationTempKey* key = Key(c, &request);
        ASSERT_NE(request.named.value, nullptr);
        tool.Write("pub.der", request.PublicDer());

        AlgId* sigAlg = NewAlgId(k.signatureAlgorithm);
        SECAttribute sa {};
        sa.id = SEC_ATTR_SIGNATURE_ALGORITHM;
        sa.value = sigAlg;
        SECAttribute named {};
        named.id = SEC_ATTR_TEMP_KEY;
        named.value = request.named.value;
        named.next = &sa;
        unsigned char sig[600];
        unsigned long length = sizeof sig;
        const auto* d = reinterpret_cast<const unsigned char*>(digest.data());
        ASSERT_EQ(key->encryptDigest(&named, false, d, 32, sig, &length), S_OK);
        tool.Write("sig", std::string(reinterpret_cast<char*>(sig), length));
        EXPECT_EQ(tool.Run({"openssl", "dgst", "-sha256", "-keyform", "DER", "-verify", tool.Path("pub.der"),
                            "-signature", tool.Path("sig"), tool.Path("data")}),
                  0);
        // The encryption-only pair is another one; none was made for it.
        EXPECT_EQ(key->encryptDigest(&named, true, d, 32, sig, &length), E_FAIL);
        EXPECT_EQ(key->encryptDigest(&sa, false, d, 32, sig, &length), E_FAIL);
        EXPECT_EQ(key->encryptDigest(&named, false, d, 32, sig, nullptr), E_INVALIDARG);
        Types(SEC_TYPE_AlgId)->free(sigAlg);

        if (std::strcmp(k.name, "rsa") == 0) {
            const std::string secret = "premaster secret of 48 bytes.......... 12345678";
            tool.Write("plain", secret);
            ASSERT_EQ(tool.Run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey",
                                tool.Path("pub.der"), "-in", tool.Path("plain"), "-out", tool.Path("enc")}),
                      0);
            const std::string enc = tool.Read("enc");
            unsigned char plain[512];
            unsigned long plainLength = sizeof plain;
            ASSERT_EQ(key->decryptKey(&named, reinterpret_cast<const unsigned char*>(enc.data()), enc.size(), plain,
                                      &plainLength),
                      S_OK);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), plainLength), secret);
        }
    }
}

TEST_F(TempKeysTest, SixteenThreadsOfOneTargetGetOnePair)
{
    constexpr int kThreads = 16;
    std::vector<CModelApplicationConnection*> connections;
    for (int i = 0; i < kThreads; ++i)
        connections.push_back(Start("shared.example"));
    std::vector<std::unique_ptr<Request>> requests;
    for (int i = 0; i < kThreads; ++i)
        requests.push_back(std::make_unique<Request>(NewAlgId(kRsa), 3600));
    std::atomic<int> ready {0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            CModelApplicationTempKeys::GetKey(connections[i], &requests[i]->alg, &requests[i]->pub, nullptr);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(CModelApplicationTempKeys::GetKeyCount(), 1u);
    CModelApplicationTempKey* key = Key(connections[0], nullptr);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->GetUsageCount(), kThreads);
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(Key(connections[i], nullptr), key);
        EXPECT_EQ(requests[i]->PublicDer(), requests[0]->PublicDer());
    }
}

}  // namespace
}  // namespace kestrin::model::test
