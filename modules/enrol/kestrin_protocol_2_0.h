// Protocol 2.0: URL-encoded form posts answered by JSON, a fixed dialogue of
// credentials (or SPNEGO), new PIN or password and next token code, then the
// certificate request to the server's getCertificate path.
#pragma once

#include "kestrin_protocol.h"
#include "zelk_json.h"

namespace kestrin::enrol {

// The content type of every form post.
extern const char s_szContetTypeURLEncoded[];

// The most input fields a reply may list; more are passed over.
constexpr unsigned long kMaxInputFields = 64;

class CKestrin_Protocol_2_0 : public CKestrin_Protocol {
public:
    using CKestrin_Protocol::CKestrin_Protocol;
    ~CKestrin_Protocol_2_0() override;

    HRESULT Send_Init(const wchar_t* language) override;
    HRESULT Send_Auth(const wchar_t* user, const wchar_t* password) override;
    HRESULT Send_Auth_SPNEGO(const char* token) override;
    HRESULT Send_ServerPin() override { return E_NOTIMPL; }
    HRESULT Send_NewPin(const wchar_t* pin) override;
    HRESULT Send_DeleteSession(int) override { return S_OK; }
    HRESULT Send_NextCode(const wchar_t* code) override;
    HRESULT Send_PKCS10() override;
    HRESULT Send_Auth() override { return E_NOTIMPL; }
    HRESULT GetProtocolVersion() override { return 2; }

    virtual HRESULT Send_Auth_Combined(const wchar_t* user, const wchar_t* password, const char* spnegoToken);
    virtual HRESULT Handle_Auth_Response();
    virtual HRESULT parseInputFields(const char* memberName);

protected:
    // Parses the last reply into m_pReply; false when it is no JSON object.
    bool ParseReply();
    // A string member of the reply, NULL when absent or not a string.
    const char* ReplyString(const char* name);
    // The certificate request posted to the enrol URL with `loginPath`
    // replaced by `certificatePath`, and its reply read.
    HRESULT CertificateStep(const char* loginPath, const char* certificatePath);
    // Posts a body that carries secrets and wipes it.
    HRESULT PostSecret(StringT<char>& body);

    IJsonObject* m_pReply = nullptr;

private:
    StringT<wchar_t> m_wstrCurrentPassword;
    StringT<char> m_strSalt;
};

}  // namespace kestrin::enrol
