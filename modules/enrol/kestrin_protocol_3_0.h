// Protocol 3.0, the default: the server lists the input fields it wants
// filled, a session salt goes back with every answer, the client
// configuration and messages come with the replies, and a certificate
// template marks the user as authenticated.
#pragma once

#include "kestrin_protocol_2_0.h"

namespace kestrin::enrol {

class CKestrin_Protocol_3_0 : public CKestrin_Protocol_2_0 {
public:
    using CKestrin_Protocol_2_0::CKestrin_Protocol_2_0;
    ~CKestrin_Protocol_3_0() override;

    HRESULT Send_Init(const wchar_t* language) override;
    HRESULT Send_Auth(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_Auth_SPNEGO(const char*) override { return E_NOTIMPL; }
    HRESULT Send_NewPin(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_DeleteSession(int) override { return E_NOTIMPL; }
    HRESULT Send_NextCode(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_PKCS10() override;
    HRESULT Send_Auth() override;
    HRESULT GetProtocolVersion() override { return 3; }
    HRESULT Send_Auth_Combined(const wchar_t*, const wchar_t*, const char*) override { return E_NOTIMPL; }
    HRESULT Handle_Auth_Response() override;

    virtual HRESULT parseSessionSalt();
    virtual HRESULT parseClientConfig();
    virtual HRESULT parseClientMessage();
    virtual HRESULT parseCertificateTemplate();

private:
    // Replaces `held` by the reply's object member `name` (none when absent
    // and `clear`); S_FALSE when the reply has none.
    HRESULT TakeObject(const char* name, IJsonObject*& held, bool clear);

    IJsonObject* m_pSessionSalt = nullptr;
    IJsonObject* m_pCertificateTemplate = nullptr;
    IJsonObject* m_pClientConfig = nullptr;
    IJsonObject* m_pClientMessage = nullptr;
};

}  // namespace kestrin::enrol
