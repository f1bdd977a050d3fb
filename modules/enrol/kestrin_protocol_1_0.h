// Protocol 1.0: XML requests composed by the codec and posted to the enrol
// URL; each reply's action says what comes next. The certificate request
// travels in the login message and the certificate comes back in its answer.
#pragma once

#include "kestrin_protocol.h"
#include "kestrin_xml.h"

namespace kestrin::enrol {

class CKestrin_Protocol_1_0 : public CKestrin_Protocol {
public:
    explicit CKestrin_Protocol_1_0(CKestrin* client);
    ~CKestrin_Protocol_1_0() override = default;

    HRESULT Send_Init(const wchar_t* language) override;
    HRESULT Send_Auth(const wchar_t* user, const wchar_t* password) override;
    HRESULT Send_Auth_SPNEGO(const char* token) override;
    HRESULT Send_ServerPin() override;
    HRESULT Send_NewPin(const wchar_t* pin) override;
    HRESULT Send_DeleteSession(int kind) override;
    HRESULT Send_NextCode(const wchar_t* code) override;
    HRESULT Send_Auth() override { return E_NOTIMPL; }
    HRESULT GetProtocolVersion() override { return 1; }
    HRESULT Send_Any(const char* body, const char* contentType) override;

    virtual HRESULT Handle_ServerResponse(const OctetString* reply);
    virtual HRESULT Handle_ConfigAction();
    virtual HRESULT Handle_AuthResultAction();
    virtual HRESULT Handle_SendNextCodeAction();
    virtual HRESULT Handle_NewPinRequiredAction();
    virtual HRESULT Handle_NewPinReplyAction();
    virtual HRESULT Handle_ErrorAction();
    virtual HRESULT ReadCertReply();

    const CKestrinXML& Codec() const { return m_xml; }

private:
    CKestrinXML m_xml;
};

}  // namespace kestrin::enrol
