// The login of a profile token: the dialogue with the enrolment server, step
// by step as the enrolment client's state asks, with the key made on a
// thread of its own meanwhile.
#include <memory>
#include <vector>

#include "token_kv.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr HRESULT kCancelled = CREDUI_E_CANCELLED;

bool IsCancel(HRESULT rc)
{
    return rc == E_ABORT || rc == kCancelled;
}

using AskRef = CComPtr<CComIID<ICredUIAsk, &IID_ICredUIAsk>>;
using FieldRef = CComPtr<CComIID<IKestrinInputField, &IID_IKestrinInputField>>;

// The client's string, never NULL.
const wchar_t* ClientText(IKestrin* client, unsigned index)
{
    const wchar_t* text = client != nullptr ? client->GetString(index) : nullptr;
    return text != nullptr ? text : L"";
}

// A wide text wiped before it is freed.
class SecretW {
public:
    ~SecretW() { Clear(); }
    void Clear()
    {
        m_text.Burn();
        m_text.Free();
    }
    wchar_t** operator&()
    {
        Clear();
        return &m_text;
    }
    void Assign(const wchar_t* text)
    {
        Clear();
        m_text = text;
    }
    operator const wchar_t*() const { return m_text; }

private:
    StringT<wchar_t> m_text;
};

}  // namespace

int CToken_KV::Login(ICredUI* dialog)
{
    int rc = LoginImpl(dialog, false, nullptr);
    if (m_autoEnrollPending)
        EndAutoEnrollWait();
    return rc;
}

int CToken_KV::LoginAs(ICredUI* dialog)
{
    return LoginImpl(dialog, true, nullptr);
}

int CToken_KV::LoginAs(ICredUI* dialog, const wchar_t* user)
{
    return LoginImpl(dialog, true, user);
}

void CToken_KV::ShowStatus(ICredUI* dialog, const char* key, bool busy)
{
    if (dialog != nullptr)
        dialog->GuiLongOperation(GetString(key), busy);
}

void CToken_KV::ClearStatus(ICredUI* dialog)
{
    if (dialog != nullptr)
        dialog->GuiLongOperation(nullptr, false);
}

void CToken_KV::WaitForKey(ICredUI* dialog)
{
    if (!m_keyThread)
        return;
    ShowStatus(dialog, "QM_WAIT_KEYGEN", false);
    m_keyThread.Wait(-1);
    m_keyThread.Close();
}

IKestrin* CToken_KV::Client()
{
    CriticalCodeSection lock(&m_csSession);
    return m_kv;
}

void CToken_KV::ReportStepFailure(ICredUI* dialog, HRESULT rc, bool force)
{
    StringT<wchar_t> text(ClientText(Client(), 8));
    unsigned code = 0;
    if (text.IsEmpty())
        MakeQMErrorText(rc, &text, &code);
    ClearStatus(dialog);
    GuiPopupErr(dialog, text, code, force);
    StringT<char> narrow;
    String_Copy(static_cast<const wchar_t*>(text), &narrow);
    SECTRACE_FormatLn(nullptr, 1, "%s Enrollment failed", static_cast<const char*>(narrow));
}

int CToken_KV::LoginImpl(ICredUI* dialog, bool loginAs, const wchar_t* user)
{
    SECTRACE_FormatLn(nullptr, 3, "CToken:: Kestrin token [%s] :: login", Name());
    BeginLogin();
    int rc = RunDialogue(dialog, loginAs, user);
    EndLogin();
    return rc;
}

void CToken_KV::BeginLogin()
{
    m_loginThread = std::this_thread::get_id();
    ++m_loginsRunning;
}

void CToken_KV::EndLogin()
{
    if (--m_loginsRunning != 0)
        return;
    m_loginThread = std::thread::id();
    // A logout asked for meanwhile by another thread is done now, when no
    // login uses what it frees.
    if (m_logoutPending.exchange(false))
        Logout(nullptr);
}

int CToken_KV::RunDialogue(ICredUI* dialog, bool loginAs, const wchar_t* user)
{
    m_dialog = dialog;
    if (dialog != nullptr)
        dialog->SetEventCallBack(static_cast<ICredEventCallback*>(this));
    m_loginAs = loginAs;
    m_spnegoUsed = false;
    if (user != nullptr)
        m_userInfo->SetUserName(user);
    ClearScheduledTasks(true);
    if (m_cancelRequested && !m_silent)
        m_cancelRequested = false;
    IKestrin* created = nullptr;
    HRESULT rc = GetNewKVHandle(&created);
    if (FAILED(rc))
        return rc;
    {
        CriticalCodeSection lock(&m_csSession);
        m_kv.Attach(created);
    }
    created->SetSPNegoCB(static_cast<IKestrin_SPNegoCB*>(this));
    if (dialog != nullptr && m_model != nullptr)
        dialog->GuiUpdate(ICredUI::GUIITEM_ITEM, nullptr,
                          reinterpret_cast<unsigned long>(static_cast<IGUIModelToken*>(m_model)));

    int state = QM_STATE_INIT;
    bool firstPass = true;
    bool credentialsSent = false;
    uint32_t reauthentication = 0;
    uint32_t reauthLeft = 0;
    int lastFailedState = -2;
    for (;;) {
        if (IsCancel(rc))
            break;
        if (m_cancelRequested) {
            rc = kCancelled;
            break;
        }
        const uint64_t promptsBefore = m_prompts;
        switch (state) {
        case QM_STATE_ERROR:
            DeleteSession(credentialsSent);
            return FAILED(rc) ? rc : E_FAIL;
        case QM_STATE_INIT:
            rc = Open_Init(dialog);
            {
                const uint32_t value = ReadLoginPolicy();
                // Counted from the first pass only: set again on every pass,
                // a failing first request would never use it up.
                if (firstPass) {
                    reauthentication = value;
                    reauthLeft = value != 0 ? value : 0xFFFFFFFF;
                }
            }
            if (firstPass) {
                firstPass = false;
                if (SUCCEEDED(rc))
                    StartKey(dialog);
            }
            break;
        case QM_STATE_AUTH:
            rc = Open_Auth(dialog, user);
            break;
        case QM_STATE_SPNEGO:
            if (m_kerberos == nullptr)
                m_kerberos = new (std::nothrow) CKerberos();
            rc = Open_AuthSPNEGO(dialog, m_loginAs, user);
            if (FAILED(rc))
                m_userInfo->DeletePassword();
            break;
        case QM_STATE_NEW_PIN:
            rc = Open_NewPin(dialog);
            break;
        case QM_STATE_NEXT_CODE:
            rc = Open_NextCode(dialog);
            break;
        case QM_STATE_READY:
            rc = Open_PKCS10(dialog);
            break;
        case QM_STATE_DONE:
            rc = Open_Done(dialog);
            if (SUCCEEDED(rc)) {
                RefreshPCI();
                RegisterOwnCerts(false);
                RefreshModel();
                ConfigureScheduledTasks(1);
                ClearStatus(dialog);
                SECTRACE_FormatLn(nullptr, 3, "CToken:: Kestrin token [%s] :: login done with result %d", Name(), rc);
                DeleteSession(0);
                return rc;
            }
            break;
        case QM_STATE_INPUT:
            rc = Open_Auth(dialog);
            if (FAILED(rc))
                m_userInfo->DeleteUserInfo();
            break;
        default:
            // A client that reports no known state has nothing to ask for.
            rc = E_FAIL;
            break;
        }
        if ((state == QM_STATE_AUTH || state == QM_STATE_SPNEGO || state == QM_STATE_INPUT) && !IsCancel(rc))
            credentialsSent = true;
        if (!m_silent || FAILED(rc))
            Open_UpdateUI(dialog, m_policy);
        if (state < QM_STATE_ERROR || state > QM_STATE_INPUT)
            break;
        // ReAuthentication bounds the failures it lets pass; any other failing
        // step that asked nothing and left the client where it was would fail
        // the same way for ever, so it ends the login the second time.
        bool bounded = false;
        if (FAILED(rc)) {
            if (state != QM_STATE_INIT && m_reenrollTries != 0)
                m_reenrollTries = 0;
            // A failed installation is final: the client has nothing else to offer.
            if (state == QM_STATE_DONE)
                break;
            if (reauthentication != 0 && reauthLeft != 0) {
                bounded = true;
                --reauthLeft;
                if (rc == E_ACCESSDENIED && reauthLeft == 0) {
                    SECTRACE_WriteLn(nullptr, 2, "ReAuthentication mode is turned on, authentication failed too often");
                    break;
                }
                SECTRACE_WriteLn(nullptr, 2, "ReAuthentication mode is turned on, authentication failed, try again");
            } else if (m_silent) {
                SECTRACE_WriteLn(nullptr, 2, "silent authentication failed -> abort");
                break;
            }
        }
        int next = Client()->GetState();
        if (FAILED(rc) && !bounded && m_prompts == promptsBefore && next == state) {
            if (lastFailedState == state)
                break;
            lastFailedState = state;
        } else {
            lastFailedState = -2;
        }
        state = next;
    }
    if (!IsCancel(rc))
        ShowStatus(dialog, "QM_WAIT_SERVER", false);
    DeleteSession(credentialsSent);
    return rc;
}

uint32_t CToken_KV::ReadLoginPolicy()
{
    m_newPinType = StringT<char>(m_policy.getObject(), POL::KESTRIN::PROFILE::NEW_PIN_TYPE);
    m_gracePeriod = PolicyInt(POL::KESTRIN::PROFILE::GRACE_PERIOD);
    int32_t inactivity = PolicyInt(POL::KESTRIN::PROFILE::INACTIVITY_TIMEOUT);
    auto reauthentication = static_cast<uint32_t>(PolicyInt(POL::KESTRIN::PROFILE::REAUTHENTICATION));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: AutoEnroll: %d", PolicyInt(POL::KESTRIN::PROFILE::AUTO_ENROLL));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: AutoLogout: %d", PolicyInt(POL::KESTRIN::PROFILE::AUTO_LOGOUT));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: NewPinType: %s", static_cast<const char*>(m_newPinType));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: gracePeriod: %d", static_cast<int>(m_gracePeriod));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: inactivityTimeout: %d", static_cast<int>(inactivity));
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: ReAuthentication: %d", static_cast<int>(reauthentication));
    return reauthentication;
}

void CToken_KV::StartKey(ICredUI* dialog)
{
    if (m_presetKeyPair) {
        Client()->SetKey(m_presetKeyPair);
        CreateToken();
        return;
    }
    WaitForKey(dialog);
    Thread::Create(&m_keyThread, this, &CToken_KV::CreateToken);
}

unsigned CToken_KV::CreateToken()
{
    IKestrin* client = Client();
    if (client == nullptr)
        return static_cast<unsigned>(E_FAIL);
    client->SetCertNameRequest(m_certNameRequest.IsEmpty() ? nullptr : static_cast<const char*>(m_certNameRequest));
    return static_cast<unsigned>(client->CreateKey(0));
}

HRESULT CToken_KV::Open_Init(ICredUI* dialog)
{
    ShowStatus(dialog, "QM_WAIT_SERVER", !m_silent);
    ZELK_RES_TEXT language;
    ZELK_RES_TEXT country;
    ZELK_ResGetLocale(std::addressof(language), std::addressof(country));
    StringT<wchar_t> tag;
    if (language.IsEmpty())
        tag = L"en-US";
    else if (country.IsEmpty())
        tag = language;
    else
        tag.Format(L"%ls-%ls", static_cast<const wchar_t*>(language), static_cast<const wchar_t*>(country));
    IKestrin* client = Client();
    if (!m_certNameRequest.IsEmpty())
        client->SetCertNameRequest(m_certNameRequest);
    HRESULT rc = client->Send_Init(tag);
    ClearStatus(dialog);
    if (SUCCEEDED(rc) || IsCancel(rc)) {
        const wchar_t* disclaimer = ClientText(client, 1);
        if (!m_silent && *disclaimer != L'\0' && dialog != nullptr)
            dialog->GuiPopup(disclaimer, 0);
        return S_OK;
    }
    StringT<wchar_t> text(ClientText(client, 8));
    unsigned code = 0;
    if (text.IsEmpty())
        MakeQMErrorText(rc, &text, &code);
    else
        m_silent = false;
    GuiPopupErr(dialog, text, code, false);
    StringT<char> narrow;
    String_Copy(static_cast<const wchar_t*>(text), &narrow);
    SECTRACE_FormatLn(nullptr, 1, "%s Enrollment failed", static_cast<const char*>(narrow));
    return rc;
}

// Steps 2 and 3 of both authentication steps: whether a password is cached,
// and the description of the prompt.
bool CToken_KV::PrepareAuth(ICredUI* dialog, StringT<wchar_t>& description)
{
    bool cached = m_userInfo->HasPassword();
    if (!cached) {
        m_silent = false;
        m_reenrollTries = 0;
    }
    if (!m_silent && dialog != nullptr) {
        IKestrin* client = Client();
        const wchar_t* message = ClientText(client, 2);
        const wchar_t* error = ClientText(client, 8);
        if (*message != L'\0')
            dialog->GuiMessage(message);
        else if (*error != L'\0')
            dialog->GuiMessageErr(error);
        else
            description = GetString("QM_DESC_AUTHENTICATE");
    }
    return cached;
}

HRESULT CToken_KV::Ask(ICredUI* dialog, const wchar_t* text, ICredUIAsk* first, ICredUIAsk* second)
{
    ++m_prompts;
    return dialog->GuiAsk(text, first, second, nullptr, nullptr);
}

HRESULT CToken_KV::Open_Auth(ICredUI* dialog, const wchar_t* user)
{
    IKestrin* client = Client();
    if (client->GetProtocolVersion() == 1)
        WaitForKey(dialog);
    StringT<wchar_t> description;
    const bool cached = PrepareAuth(dialog, description);
    SecretW password;
    if (cached) {
        m_userInfo->GetPassword(&password);
    } else {
        if (dialog == nullptr)
            return E_FAIL;
        m_userInfo->SetOldUserName(m_userInfo->GetUserName());
        m_userInfo->SetUserName(nullptr);
        FieldRef userField;
        FieldRef passwordField;
        for (unsigned long i = 0;; ++i) {
            FieldRef field;
            if (FAILED(client->GetInputObjects(i, &field)) || !field)
                break;
            const char* type = field->GetType();
            if (type != nullptr && String_CompareNoCase(type, "text") == 0)
                userField = field.getObject();
            else if (type != nullptr && String_CompareNoCase(type, "password") == 0)
                passwordField = field.getObject();
        }
        AskRef userAsk;
        AskRef passwordAsk;
        if (userField) {
            StringT<wchar_t> label;
            String_Copy(userField->GetUserPrompt() != nullptr ? userField->GetUserPrompt() : "", &label);
            dialog->GuiGetAskObjectW(&userAsk, ICredUIAsk::ASK_USERNAME, label);
            StringT<wchar_t> preset;
            if (userField->GetPreset() != nullptr && *userField->GetPreset() != '\0')
                String_Copy(userField->GetPreset(), &preset);
            const wchar_t* value = !preset.IsEmpty()                               ? static_cast<const wchar_t*>(preset)
                                   : !String_IsEmpty(m_userInfo->GetOldUserName()) ? m_userInfo->GetOldUserName()
                                                                                   : user;
            if (userAsk && value != nullptr && *value != L'\0') {
                userAsk->SetValueW(value);
                userAsk->SetDisabled(1);
            }
        }
        if (passwordField) {
            StringT<wchar_t> label;
            String_Copy(passwordField->GetUserPrompt() != nullptr ? passwordField->GetUserPrompt() : "", &label);
            dialog->GuiGetAskObjectW(&passwordAsk, ICredUIAsk::ASK_PASSWORD, label);
        }
        if (userAsk && user != nullptr)
            userAsk->SetValueW(user);
        HRESULT asked = Ask(dialog, description, userAsk, passwordAsk);
        if (FAILED(asked))
            return asked;
        if (userAsk)
            m_userInfo->SetUserName(userAsk->GetValueW());
        if (passwordAsk)
            password.Assign(passwordAsk->GetValueW());
    }
    ShowStatus(dialog, "QM_WAIT_SERVER", false);
    HRESULT rc = client->Send_Auth(m_userInfo->GetUserName(), password);
    if (rc == E_ACCESSDENIED)
        m_userInfo->DeleteUserInfo();
    else if (FAILED(rc))
        ReportStepFailure(dialog, rc, true);
    if (SUCCEEDED(rc) && !cached && PolicyInt(POL::KESTRIN::PROFILE::AUTOENROLL_TRIES) != 0)
        m_userInfo->SetPassword(password);
    return rc;
}

HRESULT CToken_KV::Open_Auth(ICredUI* dialog)
{
    StringT<wchar_t> description;
    const bool cached = PrepareAuth(dialog, description);
    if (dialog == nullptr)
        return E_FAIL;
    IKestrin* client = Client();
    std::vector<AskRef> held;
    std::vector<ICredUIAsk*> fields;
    AskRef passwordAsk;
    for (unsigned long i = 0;; ++i) {
        FieldRef field;
        if (FAILED(client->GetInputObjects(i, &field)) || !field)
            break;
        const char* type = field->GetType();
        AskRef ask;
        if (type != nullptr && String_CompareNoCase(type, "input") == 0) {
            dialog->GuiGetAskObjectW(&ask, ICredUIAsk::ASK_USERNAME, field->GetUserPromptW());
            const wchar_t* preset = field->GetPresetW();
            const wchar_t* value = !String_IsEmpty(preset) ? preset : m_userInfo->GetUserName();
            if (ask && !String_IsEmpty(value)) {
                ask->SetValueW(value);
                ask->SetDisabled(1);
            }
        } else if (type != nullptr && String_CompareNoCase(type, "password") == 0) {
            dialog->GuiGetAskObjectW(&ask, ICredUIAsk::ASK_PASSWORD, field->GetUserPromptW());
            if (ask && cached) {
                SecretW password;
                m_userInfo->GetPassword(&password);
                ask->SetValueW(password);
                ask->SetDisabled(1);
            }
            passwordAsk = ask.getObject();
        } else {
            return E_FAIL;
        }
        if (!ask)
            return E_FAIL;
        ask->AddKVInputField(field);
        fields.push_back(ask);
        held.push_back(ask);
    }
    if (fields.empty())
        return E_FAIL;
    ++m_prompts;
    HRESULT rc = dialog->GuiAsk(description, fields.size(), fields.data(), 0);
    if (FAILED(rc))
        return rc;
    ShowStatus(dialog, "QM_WAIT_SERVER", false);
    rc = client->Send_Auth();
    if (rc == E_ACCESSDENIED)
        m_userInfo->DeleteUserInfo();
    else if (FAILED(rc))
        ReportStepFailure(dialog, rc, true);
    if (SUCCEEDED(rc) && !cached && passwordAsk && PolicyInt(POL::KESTRIN::PROFILE::AUTOENROLL_TRIES) != 0) {
        SecretW password;
        password.Assign(passwordAsk->GetValueW());
        m_userInfo->SetPassword(password);
    }
    return rc;
}

HRESULT CToken_KV::Open_AuthSPNEGO(ICredUI* dialog, bool loginAs, const wchar_t* user)
{
    if (dialog != nullptr)
        m_dialog = dialog;
    IKestrin* client = Client();
    if (client->GetProtocolVersion() == 1)
        WaitForKey(dialog);
    StringT<char> token;
    HRESULT rc = CreateSPNegoToken(m_dialog, loginAs, user, nullptr, &token);
    if (SUCCEEDED(rc))
        rc = client->Send_Auth_SPNEGO(token);
    token.Burn();
    if (FAILED(rc) && !IsCancel(rc)) {
        StringT<wchar_t> text;
        unsigned code = 0;
        MakeQMErrorText(rc, &text, &code);
        if (dialog != nullptr)
            ClearStatus(dialog);
        GuiPopupErr(dialog, text, 0, false);
        StringT<char> narrow;
        String_Copy(static_cast<const wchar_t*>(text), &narrow);
        SECTRACE_FormatLn(nullptr, 1, "%s Enrollment failed", static_cast<const char*>(narrow));
        if (!loginAs)
            return E_ABORT;
        if (m_kerberos != nullptr)
            m_kerberos->Logout(dialog);
        m_spnegoUsed = false;
    }
    return rc;
}

HRESULT CToken_KV::CreateSPNegoToken(const char* service, char** token)
{
    return CreateSPNegoToken(m_dialog, m_loginAs, m_userInfo->GetUserName(), service, token);
}

HRESULT CToken_KV::CreateSPNegoToken(ICredUI* dialog, bool loginAs, const wchar_t* user, const char*, char** token)
{
    if (token == nullptr)
        return E_INVALIDARG;
    *token = nullptr;
    if (!m_spnegoUsed) {
        if (!m_silent && dialog != nullptr)
            dialog->GuiMessage(ClientText(Client(), 2));
        if (m_kerberos == nullptr)
            m_kerberos = new (std::nothrow) CKerberos();
        if (m_kerberos == nullptr)
            return E_OUTOFMEMORY;
        if (!m_kerberos->IsDomainUser())
            loginAs = true;
        if (loginAs) {
            if (m_silent)
                return E_ACCESSDENIED;
            HRESULT hr = m_kerberos->Login(dialog);
            if (FAILED(hr))
                return hr;
        }
        ShowStatus(dialog, "QM_WAIT_SERVER", false);
        m_spnegoUsed = true;
    }
    StringT<char> principal(m_policy.getObject(), POL::KESTRIN::PROFILE::SERVICE_PRINICPAL_NAME);
    if (principal.IsEmpty()) {
        StringT<char> host;
        String_Copy(ClientText(Client(), 7), &host);
        principal.Format("HTTP/%s", static_cast<const char*>(host));
    }
    AuxPtr<OctetString> spnego;
    if (FAILED(m_kerberos->CreateSPNEGOToken(dialog, principal, &spnego)) || !spnego) {
        if (loginAs)
            m_kerberos->Logout(dialog);
        return E_ACCESSDENIED;
    }
    StringT<char> userName;
    String_Copy(user != nullptr ? user : L"", &userName);
    SECTRACE_FormatLn(nullptr, 3, "Generate SPNEGO Token for service %s and user %s",
                      static_cast<const char*>(principal), static_cast<const char*>(userName));
    if (String_IsEmpty(m_userInfo->GetUserName())) {
        StringT<wchar_t> kerberosUser;
        m_kerberos->GetUserName(&kerberosUser);
        m_userInfo->SetUserName(kerberosUser);
    }
    StringT<char> text;
    text.Base64Encode(spnego);
    text.Replace("\r", "");
    text.Replace("\n", "");
    if (text.IsEmpty())
        return E_FAIL;
    *token = text.Detach();
    return S_OK;
}

HRESULT CToken_KV::Open_NewPin(ICredUI* dialog)
{
    m_userInfo->DeletePassword();
    if (dialog == nullptr)
        return E_FAIL;
    IKestrin* client = Client();
    if (!m_silent)
        dialog->GuiMessage(ClientText(client, 2));
    const bool password = m_newPinType.CompareNoCase("password") == 0;
    AskRef first;
    AskRef confirm;
    dialog->GuiGetAskObject(&first, password ? ICredUIAsk::ASK_NEW_PASSWORD : ICredUIAsk::ASK_NEW_PIN, nullptr);
    dialog->GuiGetAskObject(&confirm, ICredUIAsk::ASK_CONFIRM, nullptr);
    if (!first)
        return E_FAIL;
    HRESULT rc = Ask(dialog, GetString(password ? "QM_DESC_NEW_PASSWORD" : "QM_DESC_NEW_PIN"), first, confirm);
    if (FAILED(rc))
        return rc;
    ShowStatus(dialog, "QM_WAIT_SERVER", false);
    rc = client->Send_NewPin(first->GetValueW());
    if (FAILED(rc))
        m_userInfo->DeleteUserInfo();
    return rc;
}

HRESULT CToken_KV::Open_NextCode(ICredUI* dialog)
{
    m_userInfo->DeletePassword();
    if (dialog == nullptr)
        return E_FAIL;
    IKestrin* client = Client();
    dialog->GuiMessage(ClientText(client, 2));
    AskRef userAsk;
    AskRef codeAsk;
    dialog->GuiGetAskObject(&userAsk, ICredUIAsk::ASK_USERNAME, nullptr);
    dialog->GuiGetAskObject(&codeAsk, ICredUIAsk::ASK_TOKENCODE, nullptr);
    if (!userAsk || !codeAsk)
        return E_FAIL;
    userAsk->SetValueW(m_userInfo->GetUserName());
    userAsk->SetDisabled(1);
    HRESULT rc = Ask(dialog, GetString("QM_DESC_TOKENCODE"), userAsk, codeAsk);
    if (FAILED(rc))
        return rc;
    ShowStatus(dialog, "QM_WAIT_SERVER", false);
    return client->Send_NextCode(codeAsk->GetValueW());
}

HRESULT CToken_KV::Open_PKCS10(ICredUI* dialog)
{
    WaitForKey(dialog);
    HRESULT rc = Client()->Send_PKCS10();
    if (FAILED(rc)) {
        Logout(dialog);
        ReportStepFailure(dialog, rc, true);
    }
    return rc;
}

HRESULT CToken_KV::Open_Done(ICredUI* dialog)
{
    IKestrin* client = Client();
    const wchar_t* message = ClientText(client, 2);
    if (!m_silent && *message != L'\0' && dialog != nullptr
        && (PolicyMessageFlag(POL::KESTRIN::PROFILE::SHOW_SUCCESS_MESSAGE) || client->GetType() == 1))
        dialog->GuiPopup(message, 0);
    HRESULT rc = UpdateToken();
    if (FAILED(rc))
        return rc;
    if (rc == S_FALSE) {
        StringT<wchar_t> text;
        unsigned code = 0;
        MakeQMErrorText(E_QM_CERT_INVALID, &text, &code);
        GuiPopupErr(dialog, text, 0, true);
    }
    return S_OK;
}

HRESULT CToken_KV::CancelEvent()
{
    CComPtr<CComIID<IKestrin, &IID_IKestrin>> client;
    {
        CriticalCodeSection lock(&m_csSession);
        client = m_kv.getObject();
    }
    if (client)
        client->Cancel();
    return S_OK;
}

HRESULT CToken_KV::DeleteSession(signed char forgetNames)
{
    CComPtr<CComIID<IKestrin, &IID_IKestrin>> client;
    {
        CriticalCodeSection lock(&m_csSession);
        client = m_kv.getObject();
    }
    if (client)
        client->Cancel();
    if (m_keyThread) {
        m_keyThread.Wait(-1);
        m_keyThread.Close();
    }
    if (client) {
        client->Send_DeleteSession(0);
        CriticalCodeSection lock(&m_csSession);
        m_kv = nullptr;
    }
    m_dialog = nullptr;
    m_loginAs = false;
    if (forgetNames)
        m_userInfo->DeleteUserNames();
    return S_OK;
}

}  // namespace ZELK::PSESVC
