#include "card_codes.h"

#include "qev_results.h"

namespace kestrin::qevcrypto::pcsc {

int PinTries(CK_FLAGS tokenFlags, CK_USER_TYPE user)
{
    const bool so = user == CKU_SO;
    if ((tokenFlags & (so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED)) != 0)
        return 0;
    if ((tokenFlags & (so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY)) != 0)
        return 1;
    return -1;
}

HRESULT CardCode(CK_RV rv, CK_FLAGS tokenFlags, CK_USER_TYPE user)
{
    switch (rv) {
    case CKR_OK:
    case CKR_USER_ALREADY_LOGGED_IN:
        return S_OK;
    case CKR_PIN_INCORRECT:
        if (PinTries(tokenFlags, user) == 1)
            return static_cast<HRESULT>(static_cast<uint32_t>(E_TOKEN_PINWRONG) | (1u << 16));
        return E_TOKEN_PINWRONG;
    case CKR_PIN_LOCKED:
        return E_TOKEN_PINBLOCKED;
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_ARGUMENTS_BAD:
        return E_INVALIDARG;
    case CKR_USER_NOT_LOGGED_IN:
        return E_PSE_NOTLOGGEDIN;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_TOKEN_NOT_RECOGNIZED:
        return E_TOKEN_NOCARD;
    case CKR_HOST_MEMORY:
        return E_OUTOFMEMORY;
    case CKR_FUNCTION_NOT_SUPPORTED:
    case CKR_MECHANISM_INVALID:
    case CKR_TOKEN_WRITE_PROTECTED:
        return E_PSE_NOTSUPPORTED;
    default:
        return E_FAIL;
    }
}

}  // namespace kestrin::qevcrypto::pcsc
