// The remoting of IGssAuth, the one interface that create-by-name produces:
// methods 903 Handshake, 904 GetPeerCertificates, 905 ExportSecurityContext.
#pragma once

#include "objcache.h"
#include "proxy.h"
#include "zelk_pseproxy.h"

namespace ZELK::PSESVC {

constexpr Method METHOD_GSS_HANDSHAKE = MethodOf(API_IUNKNOWN, 7);
constexpr Method METHOD_GSS_PEERCERTIFICATES = MethodOf(API_IUNKNOWN, 8);
constexpr Method METHOD_GSS_EXPORTCONTEXT = MethodOf(API_IUNKNOWN, 9);

class GssAuthServerStub : public Stub<GssAuthServerStub, IGssAuth> {
public:
    static constexpr ApiType kKind = API_IUNKNOWN;

    HRESULT Execute(Method method, TransactionStub& transaction) override;

private:
    HRESULT Handshake(TransactionStub& transaction);
    HRESULT GetPeerCertificates(TransactionStub& transaction);
    HRESULT ExportSecurityContext(TransactionStub& transaction);
    static HRESULT Answer(TransactionStub& transaction, HRESULT rc, unsigned char* out, unsigned long outLength);
};

class GssAuthServerProxy : public Proxy<GssAuthServerProxy, IGssAuth> {
public:
    static constexpr ApiType kKind = API_IUNKNOWN;

    HRESULT Handshake(const unsigned char* in, unsigned long inLength, unsigned char** out,
                      unsigned long* outLength) override;
    HRESULT GetPeerCertificates(unsigned char** out, unsigned long* outLength) override;
    HRESULT ExportSecurityContext(unsigned char** out, unsigned long* outLength) override;

private:
    HRESULT Call(Transaction& transaction, unsigned char** out, unsigned long* outLength);
};

}  // namespace ZELK::PSESVC
