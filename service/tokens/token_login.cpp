// The PIN of a token: login with the credential dialog, logout, change and
// unblock.
#include <cstring>

#include "../model/model_text.h"
#include "token.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

const wchar_t* Text(const char* key)
{
    return CModel::GetTextW(key, L"");
}

// Releases the dialog's input fields on every path.
struct Fields {
    ICredUIAsk* field[3] = {nullptr, nullptr, nullptr};
    ~Fields() { Clear(); }
    void Clear()
    {
        for (ICredUIAsk*& f : field) {
            if (f != nullptr)
                f->Release();
            f = nullptr;
        }
    }
    const char* Value(int i) const
    {
        const char* value = field[i] != nullptr ? field[i]->GetValue() : nullptr;
        return value != nullptr ? value : "";
    }
};

// What a refused login shows and whether the user is asked again.
struct LoginFailure {
    const char* key;
    bool again;
};

LoginFailure ClassifyLogin(HRESULT result)
{
    if (result == E_TOKEN_PINBLOCKED)
        return {"DLG_CRED_CARD_IS_BLOCKED", false};
    if (result == E_TOKEN_PINWRONG)
        return {"CARD_ENTER_PIN_AGAIN", true};
    if (result == E_TOKEN_NOCARD || result == E_TOKEN_CARDNOTUSABLE)
        return {"CARD_NEED", false};
    return {"CARD_NEED", true};
}

}  // namespace

int CToken::Login(ICredUI* dialog)
{
    if (!m_token || dialog == nullptr)
        return E_FAIL;
    TokenPIN* pin = nullptr;
    if (FAILED(m_token->getCardPIN(&pin)) || pin == nullptr)
        return E_FAIL;
    CModel::Init();
    UiUpdateProfile(dialog);
    const char* pinName = nullptr;
    pin->getName(&pinName);
    const bool userLogin = pinName != nullptr && std::strncmp(pinName, "tokkv:", 6) == 0;

    HRESULT result = E_FAIL;
    for (;;) {
        int count = -1;
        if (FAILED(pin->getPINcnt(&count)))
            count = -1;
        Fields fields;
        HRESULT asked = S_OK;
        if (userLogin) {
            dialog->GuiGetAskObject(&fields.field[0], ICredUIAsk::ASK_USERNAME, nullptr);
            dialog->GuiGetAskObject(&fields.field[1], ICredUIAsk::ASK_PASSWORD, nullptr);
            dialog->GuiSetPinCount(count, false);
            asked = dialog->GuiAsk(Text("DLG_CRED_LOGIN"), fields.field[0], fields.field[1], nullptr, nullptr);
        } else {
            dialog->GuiGetAskObject(&fields.field[0], ICredUIAsk::ASK_PIN, pinName);
            dialog->GuiSetPinCount(count, false);
            asked = dialog->GuiAsk(Text("DLG_CRED_LOGIN_SMARTCARD"), fields.field[0], nullptr, nullptr, nullptr);
        }
        if (asked < 0) {
            result = asked;
            break;
        }
        result = pin->login(fields.Value(0), nullptr);
        if (result != S_OK && fields.field[1] != nullptr)
            result = pin->login(fields.Value(1), nullptr);
        if (result == S_OK)
            break;
        // The tries left ride in bits 16 to 19 of a wrong-PIN answer.
        if ((static_cast<uint32_t>(result) & ~0xF0000u) == static_cast<uint32_t>(E_TOKEN_PINWRONG))
            result = E_TOKEN_PINWRONG;
        const LoginFailure failure = ClassifyLogin(result);
        dialog->GuiPopupErr(Text(failure.key), 0);
        if (!failure.again)
            break;
    }
    pin->Release();
    if (result == S_OK)
        ConfigureScheduledTasks();
    RefreshModel();
    SECTRACE_FormatLn(nullptr, 4, "CToken:: token [%s] login with result %d", static_cast<const char*>(m_name), result);
    return result;
}

int CToken::Logout(ICredUI*)
{
    ClearScheduledTasks();
    HRESULT result = S_FALSE;
    TokenPIN* pin = nullptr;
    if (!m_token) {
        result = E_FAIL;
    } else if (SUCCEEDED(m_token->getCardPIN(&pin)) && pin != nullptr) {
        result = pin->logout();
        pin->Release();
    }
    RefreshModel();
    SECTRACE_FormatLn(nullptr, 4, "CToken:: token [%s] logout with result %d", static_cast<const char*>(m_name),
                      result);
    return result;
}

int CToken::Reauth(ICredUI* dialog)
{
    Logout(dialog);
    return Login(dialog);
}

int CToken::ChangePin(ICredUI* dialog)
{
    if (!m_token || dialog == nullptr)
        return E_FAIL;
    UiUpdateProfile(dialog);
    CModel::Init();
    TokenPIN* pin = nullptr;
    if (FAILED(m_token->getCardPIN(&pin)) || pin == nullptr)
        return E_FAIL;
    wchar_t* name = nullptr;
    int count = -1;
    TokenPIN_GetInfo(pin, &name, &count);
    Fields fields;
    dialog->GuiGetAskObjectW(&fields.field[0], ICredUIAsk::ASK_PIN, name);
    dialog->GuiGetAskObjectW(&fields.field[1], ICredUIAsk::ASK_NEW_PIN, nullptr);
    dialog->GuiGetAskObjectW(&fields.field[2], ICredUIAsk::ASK_CONFIRM, nullptr);
    sec_free(name);
    dialog->GuiSetPinCount(count, false);
    HRESULT result =
        dialog->GuiAsk(Text("CARD_CHANGE_PIN"), fields.field[0], fields.field[1], fields.field[2], nullptr);
    if (result >= 0)
        result = pin->change(fields.Value(0), fields.Value(1));
    pin->Release();
    return result;
}

int CToken::UnblockPin(ICredUI* dialog)
{
    if (!m_token || dialog == nullptr)
        return E_FAIL;
    UiUpdateProfile(dialog);
    CModel::Init();
    TokenPIN* pin = nullptr;
    if (FAILED(m_token->getCardPIN(&pin)) || pin == nullptr)
        return E_FAIL;
    TokenPIN* unblock = nullptr;
    if (FAILED(pin->getUnblockObject(&unblock)) || unblock == nullptr) {
        pin->Release();
        return E_FAIL;
    }
    wchar_t* pinName = nullptr;
    wchar_t* unblockName = nullptr;
    int count = -1;
    TokenPIN_GetInfo(pin, &pinName, nullptr);
    TokenPIN_GetInfo(unblock, &unblockName, &count);
    Fields fields;
    dialog->GuiGetAskObjectW(&fields.field[0], ICredUIAsk::ASK_PUK, unblockName);
    dialog->GuiGetAskObjectW(&fields.field[1], ICredUIAsk::ASK_NEW_PIN, pinName);
    dialog->GuiGetAskObjectW(&fields.field[2], ICredUIAsk::ASK_CONFIRM, nullptr);
    sec_free(pinName);
    sec_free(unblockName);
    dialog->GuiSetPinCount(count, true);
    HRESULT result =
        dialog->GuiAsk(Text("CARD_UNBLOCK_PIN"), fields.field[0], fields.field[1], fields.field[2], nullptr);
    if (result >= 0) {
        pin->beginUnblock();
        unblock->login(fields.Value(0), nullptr);
        result = pin->finishUnblock(fields.Value(1));
        unblock->logout();
        RefreshModel();
    }
    unblock->Release();
    pin->Release();
    return result;
}

}  // namespace ZELK::PSESVC
