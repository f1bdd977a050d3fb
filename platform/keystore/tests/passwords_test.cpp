// Generic passwords.
#include "pki.h"

namespace kestrin::keystore::test {
namespace {

using Bytes = std::vector<uint8_t>;

class PasswordsTest : public StoreTest {};

Bytes Read(KeyStore& store, std::string_view service, std::string_view account, HRESULT* hr)
{
    SecretBytes secret;
    *hr = store.GetPassword(service, account, &secret);
    return {secret.data(), secret.data() + secret.size()};
}

TEST_F(PasswordsTest, SetReadReplaceDelete)
{
    HRESULT hr;
    EXPECT_TRUE(Read(*store_, "QEV Hearthgate", "hgt", &hr).empty());
    EXPECT_EQ(hr, S_FALSE);

    const Bytes first = {'a', 0, 'b', 0xff};  // bytes, not text
    ASSERT_EQ(store_->SetPassword("QEV Hearthgate", "hgt", first), S_OK);
    EXPECT_EQ(Read(*store_, "QEV Hearthgate", "hgt", &hr), first);
    EXPECT_EQ(hr, S_OK);
    // Service and account are compared exactly.
    Read(*store_, "QEV Hearthgate", "HGT", &hr);
    EXPECT_EQ(hr, S_FALSE);
    Read(*store_, "QEV Hearthgate ", "hgt", &hr);
    EXPECT_EQ(hr, S_FALSE);

    const Bytes second(32, 'x');
    ASSERT_EQ(store_->SetPassword("QEV Hearthgate", "hgt", second), S_OK);
    EXPECT_EQ(Read(*store_, "QEV Hearthgate", "hgt", &hr), second);

    ASSERT_EQ(store_->SetPassword("QEV Hearthgate", "", {}), S_OK);
    EXPECT_TRUE(Read(*store_, "QEV Hearthgate", "", &hr).empty());
    EXPECT_EQ(hr, S_OK);

    ASSERT_EQ(store_->DeletePassword("QEV Hearthgate", "hgt"), S_OK);
    EXPECT_EQ(store_->DeletePassword("QEV Hearthgate", "hgt"), S_FALSE);
    Read(*store_, "QEV Hearthgate", "hgt", &hr);
    EXPECT_EQ(hr, S_FALSE);
    Read(*store_, "QEV Hearthgate", "", &hr);
    EXPECT_EQ(hr, S_OK);
}

TEST_F(PasswordsTest, OverlongInputIsRefused)
{
    EXPECT_EQ(store_->SetPassword("s", "a", Bytes(kMaxSecretSize + 1)), E_INVALIDARG);
    EXPECT_EQ(store_->SetPassword(std::string(kMaxNameSize + 1, 's'), "a", Bytes(1)), E_INVALIDARG);
    EXPECT_EQ(store_->GetPassword("s", "a", nullptr), E_POINTER);
    EXPECT_EQ(store_->SetPassword("s", "a", Bytes(kMaxSecretSize)), S_OK);
}

}  // namespace
}  // namespace kestrin::keystore::test
