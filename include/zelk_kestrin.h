// The enrolment client of module "zelkkvlogin" (class "zelk.kvlogin") as its
// callers reach it: the client's interfaces, the SPNEGO call-back the caller
// implements, the input fields, the client states and the result codes.
#pragma once

#include "qev_values.h"
#include "qevcrypto.h"
#include "zelk_guid.h"
#include "zelk_result.h"
#include "zelk_unknown.h"

class ASC;
class IJsonObject;
class ZELK_IPolicy;

inline constexpr const char* ZELK_KESTRIN_MODULE = "zelkkvlogin";
inline constexpr const char* ZELK_KESTRIN_CLASS = "zelk.kvlogin";

ZELK_DEFINE_GUID(IID_IKestrin, 0x38280971, 0x3E64, 0x422E, 0x9A, 0x16, 0x08, 0x58, 0xF9, 0x47, 0xB1, 0x9A);
ZELK_DEFINE_GUID(IID_IKestrinEx, 0x69A67DF1, 0x3982, 0x40B2, 0xB4, 0xEE, 0xA0, 0x1F, 0xE0, 0x39, 0xB2, 0x49);
ZELK_DEFINE_GUID(IID_IKestrin_SPNegoCB, 0xB6773B37, 0x2E1C, 0x406D, 0x95, 0x3E, 0xCA, 0x57, 0x6D, 0xD3, 0xD0, 0x71);
ZELK_DEFINE_GUID(IID_IKestrinInputField, 0x9873BC42, 0x0ED6, 0x4A6F, 0xB8, 0xDB, 0x8E, 0xAA, 0x86, 0xE9, 0xD5, 0x75);

// The state of one enrolment dialogue: what the server wants next.
enum QM_CLIENT_STATE : int32_t {
    QM_STATE_ERROR = -1,
    QM_STATE_INIT = 0,
    QM_STATE_AUTH = 1,
    QM_STATE_SPNEGO = 2,
    QM_STATE_NEW_PIN = 3,
    QM_STATE_NEXT_CODE = 4,
    QM_STATE_READY = 5,
    QM_STATE_DONE = 6,
    QM_STATE_INPUT = 7,
};

// Results of the enrolment dialogue. Transport failures reach callers only as
// these (or E_ACCESSDENIED).
constexpr HRESULT E_QM_URL_ERROR = ZELK_RC(0x84E40001);
constexpr HRESULT E_QM_URL_ERROR_SSL = ZELK_RC(0x84E40002);
constexpr HRESULT E_QM_URL_ERROR_SSL_NAME = ZELK_RC(0x84E40003);
constexpr HRESULT E_QM_URL_ERROR_SSL_EXT = ZELK_RC(0x84E40004);
constexpr HRESULT E_QM_SERVER_ERROR = ZELK_RC(0x84E40011);
constexpr HRESULT E_QM_INVALID_MESSAGE_FORMAT = ZELK_RC(0x84E40012);
constexpr HRESULT E_QM_UNDEFINED_USERNAME = ZELK_RC(0x84E40014);
constexpr HRESULT E_QM_SERVER_ERROR_NOHOST = ZELK_RC(0x84E40016);
constexpr HRESULT E_QM_SERVER_CONNECT_TIMEOUT = ZELK_RC(0x84E40017);
constexpr HRESULT E_QM_PIN_LENGTH = ZELK_RC(0x84E40023);
constexpr HRESULT E_QM_INTERNAL_SERVER_ERROR = ZELK_RC(0x84E40024);
constexpr HRESULT E_QM_PARSER_ERROR = ZELK_RC(0x84E40025);
constexpr HRESULT E_QM_INVALID_MESSAGE = ZELK_RC(0x84E40026);
constexpr HRESULT E_QM_NEW_PIN_REJECTED = ZELK_RC(0x84E40027);
constexpr HRESULT E_QM_CERTIFICATE_BAD = ZELK_RC(0x84E40030);
constexpr HRESULT E_QM_COMPOSEXML = ZELK_RC(0x84E40031);
constexpr HRESULT E_QM_CERT_INVALID = ZELK_RC(0x84E40032);
// Positive results of protocol 1.0 that carry a meaning.
constexpr HRESULT S_QM_PIN_USER_SELECTABLE = 0x04E40010;
constexpr HRESULT S_QM_PIN_CANNOT_CHOOSE = 0x04E40011;
constexpr HRESULT S_QM_PIN_MUST_CHOOSE = 0x04E40012;
constexpr HRESULT S_QM_NEW_PIN_ACCEPTED = 0x04E40013;

// One field the user fills in for the server.
class IKestrinInputField : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IKestrinInputField; }

    virtual const char* GetUserPrompt() = 0;
    virtual const wchar_t* GetUserPromptW() = 0;
    virtual const char* GetType() = 0;
    virtual const char* GetField() = 0;
    virtual const char* GetConfirmField() = 0;
    virtual const char* GetPreset() = 0;
    virtual const wchar_t* GetPresetW() = 0;
    virtual HRESULT SetValue(const wchar_t* value) = 0;
};

// The caller's SPNEGO token supplier.
class IKestrin_SPNegoCB : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IKestrin_SPNegoCB; }

    // A token (Base64, library allocator) for `service`, or for the principal
    // the supplier derives itself when `service` is NULL.
    virtual HRESULT CreateSPNegoToken(const char* service, char** token) = 0;
};

class IKestrin : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IKestrin; }

    virtual HRESULT SetPolicy(ZELK_IPolicy* policy) = 0;
    virtual HRESULT SetASC(ASC* context) = 0;
    virtual HRESULT Get_Token(OctetString** key, OctetString** certificate, OctetString** chain,
                              OctetString** root) = 0;
    virtual HRESULT Send_Init(const wchar_t* language) = 0;
    virtual HRESULT Send_Auth(const wchar_t* user, const wchar_t* password) = 0;
    virtual HRESULT Send_Auth_SPNEGO(const char* token) = 0;
    virtual HRESULT Send_ServerPin() = 0;
    virtual HRESULT Send_NewPin(const wchar_t* pin) = 0;
    virtual HRESULT Send_DeleteSession(int flag) = 0;
    virtual HRESULT Send_NextCode(const wchar_t* code) = 0;
    virtual HRESULT Send_PKCS10() = 0;
    virtual const wchar_t* GetString(unsigned index) = 0;
    virtual QM_CLIENT_STATE GetState() = 0;
    virtual unsigned GetType() = 0;
    virtual HRESULT GetPinFormatInfo(int* minLength, int* maxLength, signed char* alphanumeric) = 0;
    virtual HRESULT SetKey(const KeyPair* pair) = 0;
    virtual HRESULT CreateKey(unsigned long keySize) = 0;
    virtual HRESULT GetPKCS10(OctetString** request) = 0;
    virtual HRESULT CreatePKCS10(const char* subjectDER, const char* extensionsDER) = 0;
    virtual HRESULT ImportPKCS7(const OctetString* reply) = 0;
    virtual HRESULT SetSPNegoCB(IKestrin_SPNegoCB* callback) = 0;
    virtual HRESULT SetCertNameRequest(const char* name) = 0;
    virtual HRESULT GetInputObjects(unsigned long index, IKestrinInputField** field) = 0;
    virtual HRESULT Send_Auth() = 0;
    virtual HRESULT Cancel() = 0;
    virtual HRESULT SetClientConfig(IJsonObject* config) = 0;
    virtual HRESULT GetProtocolVersion() = 0;
    virtual HRESULT SetClientCertTemplate(const unsigned char* der, unsigned long length) = 0;
};

class IKestrinEx : public IKestrin {
public:
    static const GUID& GetIID() { return IID_IKestrinEx; }

    virtual HRESULT GetAllCerts(SET_OF_Certificate** certificates) = 0;
};
