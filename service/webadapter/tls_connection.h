// The TLS layer of one accepted socket: the bytes that arrived go into the
// TLS engine over a memory channel, the plaintext goes to the inner tunnel
// (the connection's API handler), and its answer comes back encrypted.
#pragma once

#include "qev_bio.h"
#include "qev_ssl.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC::WEBCLIENT {

class CTLSConnection : public ITunnel, public ITunnelSource, public ITunnelControl, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CTLSConnection)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_INTMAP_ENTRY(ITunnelSource)
    ZELK_INTMAP_ENTRY(ITunnelControl)
    ZELK_END_INTMAP()

    // Plaintext kept for one call at most: a request of the largest body the
    // request parser takes, with room for its header lines.
    static constexpr unsigned long kMaxPlaintext = 0x100000 + 0x10000;

    // A connection over `connection` queried for `iid`; on success the
    // connection object is the new object's, on failure still the caller's.
    static HRESULT New(ssl_connection* connection, const GUID& iid, void** out);

    // 0 with the bytes to send (possibly none), 1 when the inner tunnel needs
    // more and nothing is to be sent, or a failure that ends the connection.
    HRESULT Transact(unsigned char* in, unsigned long inLen, unsigned char** out, unsigned long* outLen) override;
    HRESULT Disconnect() override;
    ~CTLSConnection() override;
    HRESULT Disconnect(IUnknown* inner) override;
    HRESULT Connect(IUnknown* inner) override;
    // True once a fatal TLS error's alert was answered, else the inner
    // tunnel's answer.
    bool CloseAfterTransact() override;
    HRESULT GetProperties(SECAttribute* attributes) override;
    HRESULT SetProperties(SECAttribute* attributes) override;
    virtual HRESULT AddSSLHandle(ssl_connection* connection);
    virtual HRESULT checkForNetworkResponse(int lastResult, unsigned long* outLen, unsigned char** out);
    virtual HRESULT allocAppDataBuffer(unsigned long size);

private:
    ITunnelControl* InnerControl();

    ssl_connection* m_connection = nullptr;
    bio* m_networkIn = nullptr;
    bio* m_networkOut = nullptr;
    unsigned char* m_plainIn = nullptr;
    uint64_t m_plainInCapacity = 0;
    unsigned char* m_plainOut = nullptr;
    uint64_t m_plainOutCapacity = 0;
    AuxRefPtr<ITunnel> m_inner;
    // A fatal TLS error whose alert is the connection's last answer.
    bool m_failed = false;
};

}  // namespace ZELK::PSESVC::WEBCLIENT
