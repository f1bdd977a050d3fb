#include "certificate/to_be_signed.h"

#include <gtest/gtest.h>

namespace kestrin::base::test {
namespace {

TEST(ToBeSigned, NotAfterIsTheRecordsOwnText)
{
    char notBefore[] = "250101000000Z";
    char notAfter[] = "20510101000000Z";
    Validity validity {notBefore, notAfter};
    ToBeSigned tbs {};
    EXPECT_EQ(ToBeSigned_GetUTCValidNotAfterStatic(nullptr), nullptr);
    EXPECT_EQ(ToBeSigned_GetUTCValidNotAfterStatic(&tbs), nullptr);
    tbs.validity = &validity;
    EXPECT_EQ(ToBeSigned_GetUTCValidNotAfterStatic(&tbs), notAfter);
    validity.notAfter = nullptr;
    EXPECT_EQ(ToBeSigned_GetUTCValidNotAfterStatic(&tbs), nullptr);
}

}  // namespace
}  // namespace kestrin::base::test
