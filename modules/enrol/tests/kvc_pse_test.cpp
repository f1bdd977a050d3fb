// The embedding interface's containers and questions: loads, the size-query
// convention, PSE images rebuilt for another password, trusted CAs listed
// once, keys taken over from another container, the missing issuer's text,
// and the items of a question.
#include "kvc_pse.h"

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "enrol_bindings.h"
#include "enrol_fixture.h"
#include "kestrin_input_field.h"
#include "kvc_login.h"
#include "test_pki.h"
#include "zelk_alloc.h"

namespace kestrin::enrol::test {
namespace {

using Bytes = std::vector<uint8_t>;

class Container : public EnrolRuntime {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pki.ok);
        EnrolRuntime::SetUp();
        ASSERT_EQ(KVC_PSE::New(&pse), S_OK);
    }
    void TearDown() override
    {
        if (pse != nullptr)
            pse->Release();
        EnrolRuntime::TearDown();
    }

    static HRESULT Image(KVC_PSE* from, const char* password, Bytes& out)
    {
        unsigned long length = 0;
        HRESULT hr = from->getAsPSE(password, nullptr, &length);
        if (FAILED(hr))
            return hr;
        out.assign(length, 0);
        hr = from->getAsPSE(password, out.data(), &length);
        out.resize(length);
        return hr;
    }

    const TestPki& pki = TestPki::Get();
    KVC_PSE* pse = nullptr;
};

TEST_F(Container, SizeQueriesShortBuffersAndWhatIsNotOffered)
{
    unsigned long length = 0;
    EXPECT_EQ(pse->getAsPSE("", nullptr, &length), E_COMMON_INVALIDDATA);
    EXPECT_EQ(pse->getOwnCert(nullptr, &length), E_COMMON_INVALIDDATA);
    EXPECT_EQ(pse->getAsPEM(nullptr, &length), E_NOTIMPL);
    EXPECT_EQ(pse->loadFromPKCS12(nullptr, 0, nullptr), E_NOTIMPL);
    const Bytes junk = {1, 2, 3};
    EXPECT_EQ(pse->loadFromPSE(junk.data(), junk.size(), "x"), E_COMMON_INVALIDDATA);

    const Bytes p12 = pki.Read("rsa.p12");
    ASSERT_EQ(pse->loadFromPSE(p12.data(), p12.size(), "secret"), S_OK);
    EXPECT_FALSE(pse->oldPSEFormat());
    EXPECT_TRUE(pse->pseAttribute888());
    ASSERT_EQ(pse->getAsPSE("one", nullptr, &length), S_OK);
    ASSERT_GT(length, 0u);
    Bytes buffer(length);
    unsigned long shorter = length - 1;
    EXPECT_EQ(pse->getAsPSE("one", buffer.data(), &shorter), E_COMMON_BUFFERTOOSMALL);
    EXPECT_EQ(shorter, length);
    EXPECT_EQ(pse->getAsPSE("one", buffer.data(), &length), S_OK);

    ASSERT_EQ(pse->getOwnCert(nullptr, &length), S_OK);
    Bytes own(length);
    ASSERT_EQ(pse->getOwnCert(own.data(), &length), S_OK);
    EXPECT_EQ(own, pki.Read("rsa.der"));
    ASSERT_EQ(pse->getChainCert(2, nullptr, &length), S_OK);
    EXPECT_EQ(pse->getChainCert(3, nullptr, &length), E_COMMON_INVALIDDATA);

    // Forgotten content: nothing to hand out.
    EXPECT_EQ(pse->clean(), S_OK);
    EXPECT_EQ(pse->getAsPSE("one", nullptr, &length), E_COMMON_INVALIDDATA);
}

TEST_F(Container, AnImageIsRebuiltForAnotherPassword)
{
    const Bytes p12 = pki.Read("ec.p12");
    ASSERT_EQ(pse->loadFromPSE(p12.data(), p12.size(), "secret"), S_OK);
    Bytes first, second, again;
    ASSERT_EQ(Image(pse, "first", first), S_OK);
    ASSERT_EQ(Image(pse, "second", second), S_OK);
    ASSERT_EQ(Image(pse, "second", again), S_OK);
    EXPECT_EQ(second, again);
    EXPECT_NE(first, second);

    // Each image opens with the password it was asked for and no other.
    for (const auto& [image, password, wrong] :
         {std::tuple {&first, "first", "second"}, std::tuple {&second, "second", "first"}}) {
        KVC_PSE* reader = nullptr;
        ASSERT_EQ(KVC_PSE::New(&reader), S_OK);
        EXPECT_LT(reader->loadFromPSE(image->data(), image->size(), wrong), 0);
        EXPECT_EQ(reader->loadFromPSE(image->data(), image->size(), password), S_OK);
        unsigned long length = 0;
        EXPECT_EQ(reader->getOwnCert(nullptr, &length), S_OK);
        reader->Release();
    }
}

TEST_F(Container, TrustedCAsAreListedOnceAndKeysMoveBetweenContainers)
{
    const Bytes root = pki.Read("root.pem");
    ASSERT_EQ(pse->loadFromPEM(root.data(), root.size()), S_OK);
    const Bytes inter = pki.Read("inter.pem");
    ASSERT_EQ(pse->importTrustedCAs(inter.data(), inter.size()), S_OK);
    ASSERT_EQ(pse->importTrustedCAs(root.data(), root.size()), S_OK);
    SET_OF_Certificate* set = nullptr;
    ASSERT_EQ(pse->exportTrustedCAs(&set), S_OK);
    size_t count = 0;
    for (SET_OF_Certificate* node = set; node != nullptr; node = node->next)
        ++count;
    EXPECT_EQ(count, 1u);
    TypeTable(SEC_TYPE_SET_OF_Certificate)->free(set);
    unsigned long length = 0;
    ASSERT_EQ(pse->exportTrustedCAs(nullptr, &length), S_OK);
    EXPECT_EQ(pse->exportTrustedCAs(static_cast<unsigned char*>(nullptr), nullptr), E_POINTER);

    KVC_PSE* keys = nullptr;
    ASSERT_EQ(KVC_PSE::New(&keys), S_OK);
    EXPECT_EQ(pse->addKeys(keys), E_COMMON_INVALIDDATA);
    const Bytes p12 = pki.Read("ec.p12");
    ASSERT_EQ(keys->loadFromPSE(p12.data(), p12.size(), "secret"), S_OK);
    ASSERT_EQ(pse->addKeys(keys), S_OK);
    Bytes own(1024);
    length = own.size();
    ASSERT_EQ(pse->getOwnCert(own.data(), &length), S_OK);
    own.resize(length);
    EXPECT_EQ(own, pki.Read("ec.der"));

    // Trusted CAs of another container; none of a container without any.
    KVC_PSE* other = nullptr;
    ASSERT_EQ(KVC_PSE::New(&other), S_OK);
    EXPECT_EQ(other->addTrustedCAs(keys), S_OK);
    EXPECT_EQ(other->addTrustedCAs(nullptr), S_OK);
    other->Release();
    keys->Release();
}

TEST_F(Container, AResultWithoutItsIssuerNamesTheMissingCertificate)
{
    ASSERT_TRUE(pki.Run("openssl pkey -in rsa.key -outform DER -out rsa.key.der"));
    const Bytes key = pki.Read("rsa.key.der");
    ASSERT_EQ(pse->loadFromPSE(key.data(), key.size(), nullptr), S_OK);
    const Bytes leaf = pki.Read("rsa.pem");
    ASSERT_EQ(pse->loadFromPEM(leaf.data(), leaf.size()), S_OK);
    char* text = nullptr;
    EXPECT_EQ(pse->getError(&text), E_QM_CERTIFICATE_BAD);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "The following certificate is missing : \nCN=Test Intermediate");
    sec_free(text);
    const Bytes inter = pki.Read("inter.pem");
    ASSERT_EQ(pse->loadFromPEM(inter.data(), inter.size()), S_OK);
    ASSERT_EQ(pse->getError(&text), E_QM_CERTIFICATE_BAD);
    EXPECT_STREQ(text, "The following certificate is missing : \nCN=Test Root");
    sec_free(text);
    const Bytes root = pki.Read("root.pem");
    ASSERT_EQ(pse->loadFromPEM(root.data(), root.size()), S_OK);
    EXPECT_EQ(pse->getError(&text), S_OK);
    EXPECT_EQ(text, nullptr);
}

TEST_F(Container, QuestionItemsHideEveryFieldTypeButPlainInput)
{
    KVC_LoginData* data = nullptr;
    ASSERT_EQ(KVC_LoginData::New_UsernamePassword(&data), S_OK);
    ASSERT_EQ(data->getItemCount(), 2u);
    KVC_ILoginItem* item = nullptr;
    EXPECT_EQ(data->getItem(2, &item), E_FAIL);
    EXPECT_EQ(item, nullptr);
    ASSERT_EQ(data->getItem(1, &item), S_OK);
    EXPECT_EQ(item->getItemType(), 1);
    EXPECT_STREQ(item->getItemLabel(), "Password");
    item->setItemValue("p\xC3\xA4ss");
    item->Release();
    wchar_t* values[3] = {nullptr, nullptr, reinterpret_cast<wchar_t*>(1)};
    ASSERT_EQ(data->GetValues(&values[0], &values[1], &values[2]), S_OK);
    EXPECT_EQ(Narrow(values[0]), "");
    EXPECT_EQ(Narrow(values[1]), "p\xC3\xA4ss");
    EXPECT_EQ(values[2], nullptr);
    sec_free(values[0]);
    sec_free(values[1]);
    data->SetMessageW(L"Gr\u00FC\u00DFe");
    EXPECT_STREQ(data->getMessage(), "Gr\xC3\xBC\xC3\x9F"
                                     "e");
    EXPECT_TRUE(data->wait(0) == false);
    data->login();
    EXPECT_TRUE(data->wait(-1));
    data->Release();

    struct Case {
        const char* type;
        int32_t expected;
    } cases[] = {{"input", 0}, {"text", 0}, {"password", 1}, {"pin", 1}, {"", 1}};
    for (const Case& c : cases) {
        CKestrinInputField* field = nullptr;
        ASSERT_EQ(CKestrinInputField::New(&field), S_OK);
        field->SetType(c.type);
        field->SetUserPrompt("Prompt:");
        field->SetPreset("preset");
        KVC_LoginItem* fieldItem = nullptr;
        ASSERT_EQ(KVC_LoginItem::New(&fieldItem, field), S_OK);
        EXPECT_EQ(fieldItem->getItemType(), c.expected) << c.type;
        EXPECT_STREQ(fieldItem->getItemValue(), "preset");
        fieldItem->setItemValue("\xE2\x82\xAC");
        EXPECT_EQ(Narrow(field->GetValue()), "\xE2\x82\xAC");
        fieldItem->Release();
        field->Release();
    }
}

}  // namespace
}  // namespace kestrin::enrol::test
