// The codes of the card's PKCS#11 answers, including those SoftHSM2 never
// gives (try counters, a locked PIN).
#include "card_codes.h"

#include <gtest/gtest.h>

#include "qev_results.h"

namespace kestrin::qevcrypto::pcsc::test {
namespace {

TEST(CardCodes, ModuleAnswersAsTheLibrarysCodes)
{
    const HRESULT lastTry = static_cast<HRESULT>(0xA1D1012Cu);
    struct Case {
        CK_RV rv;
        CK_FLAGS flags;
        CK_USER_TYPE user;
        HRESULT expected;
    } cases[] = {
        {CKR_OK, 0, CKU_USER, S_OK},
        {CKR_USER_ALREADY_LOGGED_IN, 0, CKU_USER, S_OK},
        {CKR_PIN_INCORRECT, 0, CKU_USER, E_TOKEN_PINWRONG},
        {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW, CKU_USER, E_TOKEN_PINWRONG},
        {CKR_PIN_INCORRECT, CKF_USER_PIN_FINAL_TRY, CKU_USER, lastTry},
        {CKR_PIN_INCORRECT, CKF_USER_PIN_FINAL_TRY, CKU_SO, E_TOKEN_PINWRONG},
        {CKR_PIN_INCORRECT, CKF_SO_PIN_FINAL_TRY, CKU_SO, lastTry},
        {CKR_PIN_LOCKED, 0, CKU_USER, E_TOKEN_PINBLOCKED},
        {CKR_TOKEN_NOT_PRESENT, 0, CKU_USER, E_TOKEN_NOCARD},
        {CKR_DEVICE_REMOVED, 0, CKU_USER, E_TOKEN_NOCARD},
        {CKR_SESSION_HANDLE_INVALID, 0, CKU_USER, E_TOKEN_NOCARD},
        {CKR_USER_NOT_LOGGED_IN, 0, CKU_USER, E_PSE_NOTLOGGEDIN},
        {CKR_PIN_LEN_RANGE, 0, CKU_USER, E_INVALIDARG},
        {CKR_MECHANISM_INVALID, 0, CKU_USER, E_PSE_NOTSUPPORTED},
        {CKR_DEVICE_ERROR, 0, CKU_USER, E_FAIL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CardCode(c.rv, c.flags, c.user), c.expected) << std::hex << c.rv << " " << c.flags;
}

TEST(CardCodes, TriesLeftFromTheTokenFlags)
{
    struct Case {
        CK_FLAGS flags;
        CK_USER_TYPE user;
        int expected;
    } cases[] = {
        {0, CKU_USER, -1},
        {CKF_USER_PIN_COUNT_LOW, CKU_USER, -1},
        {CKF_USER_PIN_FINAL_TRY, CKU_USER, 1},
        {CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY, CKU_USER, 0},
        {CKF_USER_PIN_LOCKED, CKU_SO, -1},
        {CKF_SO_PIN_FINAL_TRY, CKU_SO, 1},
        {CKF_SO_PIN_LOCKED, CKU_SO, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PinTries(c.flags, c.user), c.expected) << std::hex << c.flags << " " << c.user;
}

}  // namespace
}  // namespace kestrin::qevcrypto::pcsc::test
