// Table "zelk.misc.base.core.1" bound from module "zelkbase": octet strings,
// Base64, cipher sizes, the scrambler and PKCS#12 files checked against the
// OpenSSL tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qev_pkcs12.h"
#include "zelk_alloc.h"
#include "zelk_base_core.h"
#include "zelk_module.h"

namespace {

API_COMMON* ZELKBASE_CORE_TABLE_VAR = nullptr;
API_COMMON* common_types = nullptr;
API_COMMON* pkcs12 = nullptr;
CLoadAPI dynload_zelk_base_core("zelkbase", ZELKBASE_CORE_API, &ZELKBASE_CORE_TABLE_VAR);
CLoadAPI load_common_types(nullptr, "SEC_COMMONTYPES_1", &common_types);
CLoadAPI load_pkcs12(nullptr, SEC_PKCS12_API, &pkcs12);

class Core : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, ZELK_Initialize());
        core = ZELK_ApiCast<ZELKBASE_CORE_TABLE>(ZELKBASE_CORE_TABLE_VAR);
        ASSERT_NE(core, nullptr);
        char tmpl[] = "/tmp/zelkcore-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EXPECT_EQ(S_OK, ZELK_Finalize());
    }

    const SEC_TYPE_TABLE* type(unsigned int index) { return SEC_TypeTable(common_types, index); }

    int run(const std::string& command)
    {
        int rc = std::system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    OctetString* file(const std::string& name)
    {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        std::vector<char> bytes {std::istreambuf_iterator<char>(f), {}};
        OctetString* s = nullptr;
        EXPECT_EQ(0, core->OctetString_CreateByBuffer(bytes.data(), bytes.size(), &s));
        return s;
    }

    void save(const std::string& name, const OctetString* s)
    {
        std::ofstream f(dir + "/" + name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(s->data), static_cast<std::streamsize>(s->length));
    }

    void freeOctets(OctetString* s)
    {
        if (s) {
            sec_free(s->data);
            sec_free(s);
        }
    }

    // <name>.crt, <name>.key and <name>.p12 (password "x") of a new identity.
    void identity(const std::string& name, const std::string& cn)
    {
        ASSERT_EQ(0, run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=" + cn + "' -keyout " + name
                         + ".key -out " + name + ".crt && openssl pkcs12 -export -in " + name + ".crt -inkey " + name
                         + ".key -name '" + cn + "' -passout pass:x -out " + name + ".p12"));
    }

    ZELKBASE_CORE_TABLE* core = nullptr;
    std::string dir;
};

TEST_F(Core, OctetStrings)
{
    OctetString* s = nullptr;
    ASSERT_EQ(0, core->OctetString_Create(3, &s));
    std::memcpy(s->data, "abc", 3);
    core->OctetString_ZeroTerminate(s);
    EXPECT_EQ(3u, s->length);
    EXPECT_EQ(0, s->data[3]);
    core->OctetString_ZeroTerminate(s);  // content ending in 0 after the length is not looked at
    EXPECT_EQ(3u, s->length);
    freeOctets(s);

    const char text[] = "xyz";
    ASSERT_EQ(0, core->OctetString_CreateByRange(text, text, &s));
    EXPECT_EQ(0u, s->length);
    EXPECT_EQ(0, s->data[0]);
    freeOctets(s);
    s = reinterpret_cast<OctetString*>(this);
    EXPECT_EQ(-1, core->OctetString_CreateByRange(text + 1, text, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(-1, core->OctetString_Create(1, nullptr));
}

TEST_F(Core, CipherSizes)
{
    unsigned long size = 99;
    EXPECT_EQ(E_INVALIDARG, core->aux_cipher_blocksize(3, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(S_OK, core->aux_cipher_keysize(12, &size));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(S_OK, core->aux_cipher_blocksize(2, &size));
    EXPECT_EQ(8u, size);
    size = 99;
    EXPECT_EQ(E_INVALIDARG, core->aux_cipher_keysize(0, &size));
    EXPECT_EQ(99u, size);
    EXPECT_EQ(static_cast<int>(getpid()), core->aux_process_get_parent(0, true));
}

TEST_F(Core, Base64RoundTrip)
{
    std::string data(100, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    OctetString in {data.size(), reinterpret_cast<unsigned char*>(data.data())};
    OctetString* text = nullptr;
    ASSERT_EQ(S_OK, core->aux_enc_base64(&in, &text));
    std::string encoded(reinterpret_cast<char*>(text->data), text->length);
    EXPECT_EQ(encoded.find("\r\n"), 64u);
    OctetString* back = nullptr;
    ASSERT_EQ(S_OK, core->aux_dec_base64(text, &back));
    EXPECT_EQ(data, std::string(reinterpret_cast<char*>(back->data), back->length));
    freeOctets(text);
    freeOctets(back);
    EXPECT_EQ(E_INVALIDARG, core->aux_enc_base64(nullptr, &text));
}

TEST_F(Core, ScramblerRoundTripsAndRefusesASecondKey)
{
    struct Case {
        AlgEnc algorithm;
        AlgMode mode;
    } cases[] = {{6, 0}, {10, 1}, {12, 2}, {2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.algorithm << "/" << c.mode);
        IScrambler* s = nullptr;
        ASSERT_EQ(S_OK, c.algorithm == 6 ? core->GenerateScrambler(128, &s)
                                         : core->GenerateScramblerEx(c.algorithm, c.mode, 128, &s));
        OctetString* scrambled = nullptr;
        ASSERT_EQ(S_OK, s->ScrambleString(L"p\u00e4ssw\u00f6rd", &scrambled));
        const std::string plainStart("p\0\0\0\xe4\0\0\0", 8);
        EXPECT_EQ(std::string::npos,
                  std::string(reinterpret_cast<char*>(scrambled->data), scrambled->length).find(plainStart));
        wchar_t* plain = nullptr;
        ASSERT_EQ(S_OK, s->UnscrambleString(scrambled, &plain));
        EXPECT_STREQ(L"p\u00e4ssw\u00f6rd", plain);
        sec_free(plain);
        freeOctets(scrambled);
        EXPECT_EQ(E_FAIL, s->GenerateKey(128));
        EXPECT_EQ(0, s->Release());
    }
}

TEST_F(Core, ScramblerAnswersAFailedKeyGeneration)
{
    IScrambler* s = reinterpret_cast<IScrambler*>(this);
    EXPECT_EQ(ZELK_RC(0xA010000B), core->GenerateScrambler(0, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(ZELK_RC(0xA010000B), core->GenerateScramblerEx(6, 0, 16385, &s));
    EXPECT_EQ(nullptr, s);
}

class CorePkcs12 : public Core {
protected:
    struct Opened {
        HRESULT hr;
        KeyPair* pair = nullptr;
        SET_OF_Certificate* certs = nullptr;
    };

    Opened open(OctetString* pfx, const char* password)
    {
        Opened o;
        o.hr = core->aux_open_pkcs12(pfx, password, &o.pair, &o.certs);
        return o;
    }

    void release(Opened& o)
    {
        if (o.pair)
            type(SEC_TYPE_KeyPair)->free(o.pair);
        if (o.certs)
            type(SEC_TYPE_SET_OF_Certificate)->free(o.certs);
    }

    std::vector<std::string> names(const SET_OF_Certificate* certs)
    {
        std::vector<std::string> out;
        for (; certs; certs = certs->next) {
            char* cn = nullptr;
            certs->element->getSubjectCommonName(&cn);
            out.push_back(cn ? cn : "");
            sec_free(cn);
        }
        return out;
    }

    Certificate* decode(const std::string& name)
    {
        EXPECT_EQ(0, run("openssl x509 -in " + name + ".crt -outform DER -out " + name + ".der"));
        OctetString* der = file(name + ".der");
        void* cert = nullptr;
        EXPECT_EQ(S_OK, type(SEC_TYPE_Certificate)->decode(der, &cert));
        freeOctets(der);
        return static_cast<Certificate*>(cert);
    }
};

TEST_F(CorePkcs12, BuiltFileOpensWithTheToolAndBackInOrder)
{
    identity("me", "Me");
    identity("ca1", "Issuing CA");
    identity("ca2", "Root CA");
    OctetString* pfx = file("me.p12");
    Opened mine = open(pfx, "x");
    freeOctets(pfx);
    ASSERT_EQ(S_OK, mine.hr);
    ASSERT_NE(mine.pair->publicKey, nullptr);
    ASSERT_NE(mine.pair->privateKey, nullptr);
    EXPECT_EQ(names(mine.certs), (std::vector<std::string> {"Me"}));

    SET_OF_Certificate third {decode("ca2"), nullptr};
    SET_OF_Certificate second {decode("ca1"), &third};
    SET_OF_Certificate chain {mine.certs->element, &second};
    OctetString* built = nullptr;
    ASSERT_EQ(S_OK, core->aux_create_pkcs12("QEV Kestrin Me", mine.pair, &chain, "one-time", &built));
    save("built.p12", built);
    EXPECT_EQ(0, run("openssl pkcs12 -info -legacy -noout -passin pass:one-time -in built.p12"));
    EXPECT_NE(0, run("openssl pkcs12 -info -legacy -noout -passin pass:wrong -in built.p12"));
    ASSERT_EQ(0, run("openssl pkcs12 -info -legacy -nodes -passin pass:one-time -in built.p12 -out dump.txt "
                     "2> info.txt"));
    auto contents = [&](const char* name) {
        OctetString* bytes = file(name);
        std::string text(reinterpret_cast<char*>(bytes->data), bytes->length);
        freeOctets(bytes);
        return text;
    };
    auto count = [](const std::string& text, const std::string& piece) {
        size_t n = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
            ++n;
        return n;
    };
    std::string text = contents("dump.txt");
    EXPECT_EQ(2u, count(text, "friendlyName: QEV Kestrin Me"));
    EXPECT_EQ(1u, count(text, "friendlyName: Issuing CA"));
    EXPECT_EQ(1u, count(text, "friendlyName: Root CA"));
    // The key and the first certificate share the local key id "01"; the chain has none.
    EXPECT_EQ(2u, count(text, "localKeyID: 30 31 \n"));
    EXPECT_EQ(2u, count(text, "localKeyID:"));
    EXPECT_NE(std::string::npos, text.find("BEGIN PRIVATE KEY"));
    std::string info = contents("info.txt");
    EXPECT_NE(std::string::npos, info.find("MAC: sha1, Iteration 2048"));
    EXPECT_NE(std::string::npos, info.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"));
    EXPECT_NE(std::string::npos, info.find("PKCS7 Encrypted data: pbeWithSHA1And128BitRC4, Iteration 2048"));

    Opened back = open(built, "one-time");
    ASSERT_EQ(S_OK, back.hr);
    EXPECT_EQ(names(back.certs), (std::vector<std::string> {"Me", "Issuing CA", "Root CA"}));
    EXPECT_EQ(0, type(SEC_TYPE_KeyInfo)->compare(back.pair->privateKey, mine.pair->privateKey));
    EXPECT_EQ(0, type(SEC_TYPE_KeyInfo)->compare(back.pair->publicKey, mine.pair->publicKey));
    release(back);

    Opened wrong = open(built, "wrong");
    EXPECT_EQ(E_FAIL, wrong.hr);
    EXPECT_EQ(nullptr, wrong.pair);
    EXPECT_EQ(nullptr, wrong.certs);
    freeOctets(built);
    second.element->Release();
    third.element->Release();
    release(mine);

    EXPECT_EQ(E_INVALIDARG, core->aux_create_pkcs12(nullptr, nullptr, nullptr, nullptr, &built));
    EXPECT_EQ(E_INVALIDARG, core->aux_open_pkcs12(nullptr, "x", &back.pair, &back.certs));
}

TEST_F(CorePkcs12, FilesOfTheToolWithDefaultAndLegacyAlgorithmsOpen)
{
    identity("me", "Me");
    for (const char* flags : {"-legacy", ""}) {
        ASSERT_EQ(0, run(std::string("openssl pkcs12 -export ") + flags
                         + " -in me.crt -inkey me.key -passout pass:pw -out tool.p12"));
        OctetString* pfx = file("tool.p12");
        Opened o = open(pfx, "pw");
        freeOctets(pfx);
        ASSERT_EQ(S_OK, o.hr) << flags;
        EXPECT_EQ(names(o.certs), (std::vector<std::string> {"Me"}));
        EXPECT_NE(nullptr, o.pair->publicKey);
        release(o);
    }
    // A file of certificates alone has no key to hand out.
    ASSERT_EQ(0, run("openssl pkcs12 -export -nokeys -in me.crt -passout pass:pw -out certs.p12"));
    OctetString* pfx = file("certs.p12");
    Opened none = open(pfx, "pw");
    freeOctets(pfx);
    EXPECT_EQ(E_FAIL, none.hr);
    EXPECT_EQ(nullptr, none.pair);
    EXPECT_EQ(nullptr, none.certs);
}

// A file with a second key bag: the key is paired with its own certificate by
// local key identifier and checked against it, whatever bag comes last.
TEST_F(CorePkcs12, SeveralKeyBagsPairEachKeyWithItsOwnCertificate)
{
    identity("a", "Alice");
    identity("b", "Bob");
    auto* table = ZELK_ApiCast<SEC_PKCS12_TABLE>(pkcs12);
    const API_COMMON* p12types = table->types();
    auto parse = [&](const char* name) {
        OctetString* pfx = file(name);
        SET_OF_P12_Bag* bags = nullptr;
        int verified = 0;
        EXPECT_EQ(S_OK, table->parse(pfx, "x", &bags, &verified));
        freeOctets(pfx);
        return bags;  // certificate bag, then key bag, both with their own key id
    };
    SET_OF_P12_Bag* a = parse("a.p12");
    SET_OF_P12_Bag* b = parse("b.p12");
    auto build = [&](std::vector<P12_Bag*> order, const char* out) {
        void* safeValue = nullptr;
        ASSERT_EQ(S_OK, SEC_TypeTable(p12types, SEC_TYPE_P12_Safe)->new_node(&safeValue));
        auto* safe = static_cast<P12_Safe*>(safeValue);
        safe->version = 3;
        safe->iterations = 2048;
        auto* ids = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
        ids->from_text("SHA-1", &safe->macDigest);
        ids->from_text("pbeWithSHA1And128BitRC4", &safe->certificateEncryption);
        ids->from_text("pbeWithSHA1And3-KeyTripleDES-CBC", &safe->keyEncryption);
        SET_OF_P12_Bag* nodes[8] = {};
        for (size_t i = 0; i < order.size(); ++i) {
            nodes[i] = static_cast<SET_OF_P12_Bag*>(std::calloc(1, sizeof(SET_OF_P12_Bag)));
            nodes[i]->element = order[i];
            if (i > 0)
                nodes[i - 1]->next = nodes[i];
        }
        safe->bags = nodes[0];
        OctetString* encoded = nullptr;
        ASSERT_EQ(S_OK, table->encode(safe, "x", &encoded));
        save(out, encoded);
        freeOctets(encoded);
        for (size_t i = 0; i < order.size(); ++i)
            std::free(nodes[i]);
        safe->bags = nullptr;
        SEC_TypeTable(p12types, SEC_TYPE_P12_Safe)->free(safe);
    };
    P12_Bag* certA = a->element;
    P12_Bag* keyA = a->next->element;
    P12_Bag* keyB = b->next->element;
    OctetString* idB = keyB->localKeyId;

    // Alice's key, then Bob's key without an identifier, then Alice's certificate.
    keyB->localKeyId = nullptr;
    build({keyA, keyB, certA}, "two.p12");
    // Bob's key claims Alice's identifier; Alice's key follows.
    keyB->localKeyId = keyA->localKeyId;
    build({keyB, keyA, certA}, "claim.p12");
    // Only Bob's key, claiming Alice's certificate: no pair, the key alone.
    build({keyB, certA}, "lone.p12");
    keyB->localKeyId = idB;

    OctetString* pfx = file("a.p12");
    Opened alice = open(pfx, "x");
    freeOctets(pfx);
    ASSERT_EQ(S_OK, alice.hr);
    for (const char* name : {"two.p12", "claim.p12"}) {
        pfx = file(name);
        Opened o = open(pfx, "x");
        freeOctets(pfx);
        ASSERT_EQ(S_OK, o.hr) << name;
        EXPECT_EQ(0, type(SEC_TYPE_KeyPair)->compare(o.pair, alice.pair)) << name;
        EXPECT_EQ(names(o.certs), (std::vector<std::string> {"Alice"}));
        release(o);
    }
    pfx = file("lone.p12");
    Opened lone = open(pfx, "x");
    freeOctets(pfx);
    ASSERT_EQ(S_OK, lone.hr);
    EXPECT_EQ(nullptr, lone.pair->publicKey);
    EXPECT_NE(0, type(SEC_TYPE_KeyInfo)->compare(lone.pair->privateKey, alice.pair->privateKey));
    EXPECT_EQ(names(lone.certs), (std::vector<std::string> {"Alice"}));
    release(lone);
    release(alice);
    SEC_TypeTable(p12types, SEC_TYPE_SET_OF_P12_Bag)->free(a);
    SEC_TypeTable(p12types, SEC_TYPE_SET_OF_P12_Bag)->free(b);
}

}  // namespace
