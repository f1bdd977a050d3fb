// The enrolment embedding interface of module "zelkkvlogin": a host program
// that has the module loaded enrols a certificate without the service. It
// implements KVC_IHandler, makes a provider and containers through the
// entries of the table "zelk.kvlogin.kvc.1", and receives the enrolled key
// and certificates in a container.
#pragma once

#include <cstdint>

#include "qev_results.h"
#include "qevcrypto.h"
#include "zelk_guid.h"
#include "zelk_result.h"
#include "zelk_unknown.h"

inline constexpr const char* ZELK_KVC_API = "zelk.kvlogin.kvc.1";

ZELK_DEFINE_GUID(IID_KVC_IProvider, 0xC922BB7D, 0x10FC, 0x4E04, 0xA3, 0x5D, 0x4A, 0xB5, 0x68, 0xAD, 0x59, 0x6C);
ZELK_DEFINE_GUID(IID_KVC_IHandler, 0xFC613B91, 0x8AD8, 0x431A, 0xA7, 0x63, 0x05, 0x96, 0xD6, 0x2C, 0x33, 0x48);
ZELK_DEFINE_GUID(IID_KVC_ILoginData, 0x650D20A2, 0xDF8C, 0x46EA, 0x81, 0xEF, 0x89, 0xB1, 0xEC, 0x06, 0xFB, 0x1D);
ZELK_DEFINE_GUID(IID_KVC_ILoginItem, 0x6129EE5C, 0x0459, 0x452F, 0x99, 0x58, 0x0B, 0x0D, 0x1E, 0x02, 0xD2, 0x00);
ZELK_DEFINE_GUID(IID_KVC_IPSE, 0x387A2AAD, 0x7BE7, 0x4AA6, 0xA7, 0x05, 0x3C, 0xC8, 0x62, 0x9C, 0x96, 0xA0);

// The user's cancel, as the host's handler answers it.
constexpr HRESULT E_UI_CANCELLED = ZELK_RC(0xA7F00019);

// One value the host shows and fills in.
class KVC_ILoginItem : public IUnknown {
public:
    static const GUID& GetIID() { return IID_KVC_ILoginItem; }

    // 0 plain input, 1 hidden input (a password).
    virtual int32_t getItemType() = 0;
    virtual const char* getItemLabel() = 0;
    virtual const char* getItemValue() = 0;
    virtual HRESULT setItemValue(const char* value) = 0;
};

// A question of the enrolment: a message and the items to fill in.
class KVC_ILoginData : public IUnknown {
public:
    static const GUID& GetIID() { return IID_KVC_ILoginData; }

    // The answer is complete (from any thread).
    virtual HRESULT login() = 0;
    virtual const char* getMessage() = 0;
    virtual unsigned long getItemCount() = 0;
    // 0x80004005 past the last item.
    virtual HRESULT getItem(unsigned long index, KVC_ILoginItem** out) = 0;
};

// A container of keys and certificates. Every output: with `buffer` NULL
// *length receives the size (result 0); a shorter *length gives
// E_COMMON_BUFFERTOOSMALL with the size; nothing to hand out gives
// E_COMMON_INVALIDDATA.
class KVC_IPSE : public IUnknown {
public:
    static const GUID& GetIID() { return IID_KVC_IPSE; }

    virtual HRESULT loadFromPEM(const unsigned char* data, unsigned long length) = 0;
    virtual HRESULT loadFromPKCS12(const unsigned char* data, unsigned long length, const char* password) = 0;
    virtual HRESULT loadFromPSE(const unsigned char* data, unsigned long length, const char* password) = 0;
    virtual HRESULT getAsPEM(unsigned char* buffer, unsigned long* length) = 0;
    virtual HRESULT getAsPKCS12(const char* password, unsigned char* buffer, unsigned long* length) = 0;
    virtual HRESULT getAsPSE(const char* password, unsigned char* buffer, unsigned long* length) = 0;
    virtual HRESULT clean() = 0;
    virtual HRESULT addKeys(KVC_IPSE* other) = 0;
    virtual HRESULT getOwnCert(unsigned char* buffer, unsigned long* length) = 0;
    virtual HRESULT getChainCert(unsigned long index, unsigned char* buffer, unsigned long* length) = 0;
    virtual HRESULT importTrustedCAs(const unsigned char* data, unsigned long length) = 0;
    virtual HRESULT addTrustedCAs(KVC_IPSE* other) = 0;
    virtual HRESULT exportTrustedCAs(unsigned char* buffer, unsigned long* length) = 0;
};

// Implemented by the host; called on the provider's login thread.
class KVC_IHandler : public IUnknown {
public:
    static const GUID& GetIID() { return IID_KVC_IHandler; }

    // E_ABORT or E_UI_CANCELLED cancels the login; any other answer makes the
    // login wait for the data's login().
    virtual HRESULT requestLoginData(KVC_ILoginData* data) = 0;
    // The enrolled key and certificates; the host adds its own reference to
    // keep them.
    virtual HRESULT loginSucceeded(KVC_IPSE* result) = 0;
    // The end of a failed login: a negative result and a UTF-8 message or NULL.
    virtual HRESULT loginFailed(HRESULT result, const char* message) = 0;
};

class IKestrin;

class KVC_IProvider : public IUnknown {
public:
    static const GUID& GetIID() { return IID_KVC_IProvider; }

    // Refused with E_COMMON_INVALIDDATA while a login runs; anything but a
    // container of this module clears the setting.
    virtual HRESULT setTLSTrustAnchors(KVC_IPSE* anchors) = 0;
    virtual HRESULT setClientCert(KVC_IPSE* certificate) = 0;
    virtual HRESULT startLogin(const char* url, int flags) = 0;
    virtual HRESULT startLoginEx(const char* url, KVC_IPSE* renewalTemplate, int flags) = 0;
    // E_NOTIMPL: a login is cancelled through the handler's answer.
    virtual HRESULT cancel() = 0;
    // Waits up to `milliseconds` (-1: no limit) for the login to end.
    virtual HRESULT wait(int milliseconds) = 0;
    // The enrolment client of the running or last login (IKestrin, IKestrinEx).
    virtual HRESULT getEngine(const GUID& iid, void** out) = 0;
    virtual HRESULT setProxy(const char* proxyUrl) = 0;
};

extern "C" {

// "zelk.kvlogin.kvc.1" of module "zelkkvlogin".
struct ZELK_KVC_TABLE : API_COMMON {
    // 1: a new provider (one reference for the caller) that calls `handler`.
    HRESULT (*KVC_IProvider_new)(KVC_IProvider** out, KVC_IHandler* handler);
    // 2: a new, empty container (one reference for the caller).
    HRESULT (*KVC_IPSE_new)(KVC_IPSE** out);
};

}  // extern "C"
