// The remoting's component interfaces: the client-side tunnel sources that
// hand out the service's PSE or create objects by class name, the
// service-side tunnels of one client session, and the one interface that
// create-by-name produces. Every operation returns a signed 32-bit result code.
#pragma once

#include "qev_pse.h"
#include "zelk_classfactory.h"
#include "zelk_guid.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {

ZELK_DEFINE_GUID(IID_ITunnelSourcePSE, 0x4F3A9C21, 0x7B6E, 0x4D15, 0x8C, 0x2A, 0x91, 0x5E, 0x3B, 0x70, 0xC4, 0x1D);
ZELK_DEFINE_GUID(IID_ITunnelSourceFkt, 0x4F3A9C22, 0x7B6E, 0x4D15, 0x8C, 0x2A, 0x91, 0x5E, 0x3B, 0x70, 0xC4, 0x1E);
ZELK_DEFINE_GUID(IID_ITunnelPSE, 0xBB64E087, 0x9EA9, 0x46C2, 0x86, 0x78, 0x9E, 0x16, 0xFB, 0x60, 0x23, 0x1A);
ZELK_DEFINE_GUID(IID_ITunnelFkt, 0x72A4F62F, 0x8DBB, 0x4506, 0xA0, 0x28, 0x2D, 0x38, 0x76, 0x9C, 0x74, 0x42);
ZELK_DEFINE_GUID(IID_IGssAuth, 0xA91CD6CE, 0x67A2, 0x437C, 0xA1, 0xB4, 0x84, 0x28, 0xDE, 0x91, 0xDA, 0xC6);

// The client's connection to the service's PSE ("zelk.pseproxy.proxy").
class ITunnelSourcePSE : public ITunnelSource {
public:
    static const GUID& GetIID() { return IID_ITunnelSourcePSE; }

    // The root PSE proxy with one reference; NULL when there is none.
    virtual HRESULT GetPSE(PSE** out) = 0;
    // The tunnel class (module and class name) that every connection and
    // reconnection creates.
    virtual HRESULT SetTunnel(const char* module, const char* className) = 0;
};

// Creates a service object by class name over the same connection.
class ITunnelSourceFkt : public ITunnelSource {
public:
    static const GUID& GetIID() { return IID_ITunnelSourceFkt; }

    virtual HRESULT CreateObject(const char* className, const GUID& iid, void** out) = 0;
};

// The service's end of one client session ("zelk.pseproxy.stub").
class ITunnelPSE : public ITunnel {
public:
    static const GUID& GetIID() { return IID_ITunnelPSE; }

    // The PSE that the session's object 0 serves.
    virtual HRESULT SetPSE(PSE* pse) = 0;
    // Told once (Reset) when a request of the session meets a broken connection.
    virtual HRESULT SetCallback(ITunnelCallback* callback) = 0;
};

// Class factories that create-by-name requests of the session may use.
class ITunnelFkt : public ITunnel {
public:
    static const GUID& GetIID() { return IID_ITunnelFkt; }

    virtual HRESULT RegisterFactory(const char* className, IClassFactory* factory) = 0;
};

// A security-context handshake served by the service. Out buffers come from
// the crypto library's allocator.
class IGssAuth : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGssAuth; }

    virtual HRESULT Handshake(const unsigned char* in, unsigned long inLength, unsigned char** out,
                              unsigned long* outLength) = 0;
    virtual HRESULT GetPeerCertificates(unsigned char** out, unsigned long* outLength) = 0;
    virtual HRESULT ExportSecurityContext(unsigned char** out, unsigned long* outLength) = 0;
};

}  // namespace ZELK::PSESVC
