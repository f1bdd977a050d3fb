// RSA key pairs, key sizes and PKCS#1 v1.5 signatures of "SEC_CRYPT_1"
// (slots 2 to 4), checked by the openssl tool.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ossl_fixture.h"
#include "qev_crypt.h"
#include "qev_values.h"
#include "test_process.h"

namespace {

using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

struct Reporter {
    std::atomic<int> started {0};
    std::atomic<int> steps {0};
    std::atomic<int> finished {0};
    std::atomic<bool> cancel {false};
    SEC_PROGRESS progress {};
    SEC_PROGRESS_TASK task {};

    static HRESULT Start(SEC_PROGRESS* p, SEC_PROGRESS_TASK** task, const char*, uint64_t)
    {
        auto* r = static_cast<Reporter*>(p->owner);
        ++r->started;
        *task = &r->task;
        return S_OK;
    }
    static HRESULT State(SEC_PROGRESS_TASK* t, uint64_t, uint64_t)
    {
        auto* r = static_cast<Reporter*>(t->owner);
        ++r->steps;
        return r->cancel ? SEC_E_CANCELLED : S_OK;
    }
    static HRESULT Finish(SEC_PROGRESS_TASK* t)
    {
        ++static_cast<Reporter*>(t->owner)->finished;
        return S_OK;
    }
    Reporter()
    {
        static const SEC_PROGRESS_TABLE progressTable = {&Start};
        static const SEC_PROGRESS_TASK_TABLE taskTable = {&State, &Finish};
        progress = {&progressTable, this};
        task = {&taskTable, this};
    }
};

class KeyPairs : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        crypt = table<SEC_CRYPT_TABLE>("SEC_CRYPT_1");
        ASSERT_NE(crypt, nullptr);
        API_COMMON* types = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
        keyInfo = SEC_TypeTable(types, SEC_TYPE_KeyInfo);
        algId = SEC_TypeTable(types, SEC_TYPE_AlgId);
        objId = static_cast<const SEC_OBJID_TYPE_TABLE*>(SEC_TypeTable(types, SEC_TYPE_ObjId));
    }

    // Generates into `priv` and `pub`; the outputs stay owned by the attributes.
    HRESULT Generate(uint64_t bits, Reporter* reporter, SECAttribute& priv, SECAttribute& pub)
    {
        SECAttribute progress {};
        progress.id = SEC_ATTR_PROGRESS;
        progress.value = reporter != nullptr ? &reporter->progress : nullptr;
        SECAttribute algorithm {};
        algorithm.id = SEC_ATTR_ALGORITHM;
        algorithm.next = &progress;
        SECAttribute size {};
        size.id = SEC_ATTR_KEY_BITS;
        size.value = reinterpret_cast<void*>(static_cast<uintptr_t>(bits));
        size.next = &algorithm;
        priv = SECAttribute {};
        pub = SECAttribute {};
        priv.id = pub.id = SEC_ATTR_KEY;
        return crypt->gen_keypair(&size, nullptr, &priv, nullptr, &pub);
    }

    void Drop(SECAttribute& a)
    {
        if (a.owned && a.value != nullptr)
            a.type->free(a.value);
        a.value = nullptr;
    }

    std::string Der(const KeyInfo* key)
    {
        OctetString* der = nullptr;
        EXPECT_EQ(keyInfo->encode(key, &der), S_OK);
        std::string out(reinterpret_cast<char*>(der->data), der->length);
        std::free(der->data);
        std::free(der);
        return out;
    }

    const SEC_CRYPT_TABLE* crypt = nullptr;
    const SEC_TYPE_TABLE* keyInfo = nullptr;
    const SEC_TYPE_TABLE* algId = nullptr;
    const SEC_OBJID_TYPE_TABLE* objId = nullptr;
    TempFolder folder {"kestrin-keys-"};
};

TEST_F(KeyPairs, GeneratedPairSignsWhatOpensslVerifies)
{
    Reporter reporter;
    SECAttribute priv, pub;
    ASSERT_EQ(Generate(1024, &reporter, priv, pub), S_OK);
    EXPECT_EQ(reporter.started, 1);
    EXPECT_GT(reporter.steps, 0);
    EXPECT_EQ(reporter.finished, 1);
    ASSERT_NE(priv.value, nullptr);
    ASSERT_NE(pub.value, nullptr);
    EXPECT_EQ(crypt->get_key_size(static_cast<KeyInfo*>(priv.value)), 1024u);
    EXPECT_EQ(crypt->get_key_size(static_cast<KeyInfo*>(pub.value)), 1024u);
    EXPECT_EQ(crypt->get_key_size(nullptr), 0u);

    const std::string pubFile = folder.path() + "/pub.der";
    std::ofstream(pubFile, std::ios::binary) << Der(static_cast<KeyInfo*>(pub.value));

    ObjId* oid = nullptr;
    ASSERT_EQ(objId->from_text("1.2.840.113549.1.1.5", &oid), S_OK);
    AlgId algorithm {oid, nullptr};
    SEC_SIGN_PARAMETERS parameters {SEC_SIGN_SCHEME_PKCS1, SEC_SIGN_INPUT_MESSAGE, {0, 0}};
    SECAttribute p {}, a {}, k {};
    p.id = SEC_ATTR_SIGN_PARAMETERS;
    p.value = &parameters;
    a.id = SEC_ATTR_SIGNATURE_ALGORITHM;
    a.value = &algorithm;
    a.next = &p;
    k.id = SEC_ATTR_KEY;
    k.value = priv.value;
    k.next = &a;
    const std::string data = "certification request info";
    unsigned char small[64];
    OctetString tooShort {sizeof small, small};
    EXPECT_EQ(crypt->sign(&k, reinterpret_cast<const unsigned char*>(data.data()), data.size(), small, &tooShort),
              SEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(SEC_E_BUFFER_TOO_SMALL & ZELK_RC(0x8000FFFF), ZELK_RC(0x80000014));
    unsigned char buffer[1024];
    OctetString signature {sizeof buffer, buffer};
    ASSERT_EQ(crypt->sign(&k, reinterpret_cast<const unsigned char*>(data.data()), data.size(), buffer, &signature),
              S_OK);
    EXPECT_EQ(signature.length, 128u);
    EXPECT_EQ(crypt->sign(&k, nullptr, 1, buffer, &signature), SEC_E_NULLARG);
    parameters.input = 1;
    EXPECT_EQ(crypt->sign(&k, reinterpret_cast<const unsigned char*>(data.data()), data.size(), buffer, &signature),
              E_INVALIDARG);

    std::ofstream(folder.path() + "/data", std::ios::binary) << data;
    std::ofstream(folder.path() + "/sig", std::ios::binary)
        .write(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(signature.length));
    EXPECT_EQ(RunProgram({"openssl", "dgst", "-sha1", "-keyform", "DER", "-verify", pubFile, "-signature",
                          folder.path() + "/sig", folder.path() + "/data"},
                         {}),
              0);
    algId->free(nullptr);
    std::free(oid->data);
    std::free(oid);
    Drop(priv);
    Drop(pub);
}

TEST_F(KeyPairs, SizeAndAlgorithmOutsideTheRangeAreRefused)
{
    SECAttribute priv, pub;
    EXPECT_EQ(Generate(300, nullptr, priv, pub), SEC_E_KEY_LENGTH);
    EXPECT_EQ(Generate(16385, nullptr, priv, pub), SEC_E_KEY_LENGTH);
    EXPECT_EQ(priv.value, nullptr);
    ASSERT_EQ(Generate(512, nullptr, priv, pub), S_OK);
    EXPECT_EQ(crypt->get_key_size(static_cast<KeyInfo*>(pub.value)), 512u);
    Drop(priv);
    Drop(pub);
}

TEST_F(KeyPairs, ProgressTaskStopsALargeGenerationQuickly)
{
    Reporter reporter;
    reporter.cancel = true;
    SECAttribute priv, pub;
    EXPECT_EQ(Generate(4096, &reporter, priv, pub), SEC_E_CANCELLED);
    // It stopped at the first step it reported.
    EXPECT_EQ(reporter.steps, 1);
    EXPECT_EQ(reporter.finished, 1);
    EXPECT_EQ(priv.value, nullptr);
    EXPECT_EQ(pub.value, nullptr);
}

}  // namespace
