// The connection broker: decides every secure network connection that a
// client opens through the crypto library's connection layer. It keeps no
// connection state of its own: each connection is a connection record of the
// clients model, made at "ConnectionStart" and found again by its number in
// every later call.
#pragma once

#include <string>

#include "qev_records.h"
#include "qevcrypto.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CGssConnections, 0x4C1F9A72, 0x2B5E, 0x4D83, 0x96, 0x0A, 0x7E, 0x31, 0xC8, 0x5D, 0x22, 0xB9);

ZELK_AUX_TYPE_INDEX(SET_OF_Certificate, SEC_TYPE_SET_OF_Certificate);

namespace ZELK::PSESVC {

class CModelApplicationConnection;

class CGssConnections : public IUnknown, public CSingletonFactoryImpl<CGssConnections>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CGssConnections)
    ZELK_INTMAP_ENTRY_CLASS(IID_CGssConnections)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CGssConnections; }

    // A connection action of the control channel. 0 for every action but
    // "GetCredentials" (0 or more, or 0xA1E00019 for a cancel) and
    // "GetTempKey" (1 when a list is missing); failures inside show only as
    // out attributes left unfilled.
    virtual HRESULT DoGssAction(const char* action, SECAttribute* in, SECAttribute* out);
    // 1: the connection does not decide, the caller goes on.
    virtual HRESULT getOwnCertificate(SECAttribute* in, SET_OF_PersonalCertificateInfo** out);
    // 0xA010001F: no connection, no key of the connection.
    virtual HRESULT encryptDigest(SECAttribute* in, const unsigned char* data, unsigned long length, unsigned char* out,
                                  unsigned long* outLength);
    // 1 without attribute 905: the connection's own key is the caller's.
    virtual HRESULT decryptKey(SECAttribute* in, const unsigned char* data, unsigned long length, unsigned char* out,
                               unsigned long* outLength);

    // The application policy, its configuration chain and the allowed token
    // URIs of a target name; a negative result of the token manager is
    // returned with nothing handed out.
    HRESULT GetTokenURIsByGSSTargetName(const char* target, SET_OF_String** uris, bool* reauth,
                                        ZELK_IPolicy** configuration, ZELK_IPolicy** application);
    // A login for `target` allows manual server trust for it.
    HRESULT AllowManualServerTrust(const char* target);

    HRESULT DoGssActionConnectionStart(SECAttribute* in, SECAttribute* out);
    HRESULT DoGssActionConnectionOpened(CModelApplicationConnection* connection, SECAttribute* in, SECAttribute* out);
    HRESULT DoGssActionConnectionClosed(CModelApplicationConnection* connection, SECAttribute* in, SECAttribute* out);
    HRESULT DoGssActionConnectionHandshakeError(CModelApplicationConnection* connection, SECAttribute* in,
                                                SECAttribute* out);
    HRESULT DoGssActionConnectionHandshakeDone(CModelApplicationConnection* connection, SECAttribute* in,
                                               SECAttribute* out);
    HRESULT DoGssActionManualServerTrust(CModelApplicationConnection* connection, SECAttribute* in, SECAttribute* out);
    bool DoGssActionManualServerTrust_IsAllowed(CModelApplicationConnection* connection);

    // The credential of a connection: Kerberos, X.509 or encryption-only.
    HRESULT DoGssActionGetCredentials(CModelApplicationConnection* connection, SECAttribute* in, SECAttribute* out);
    HRESULT DoGssActionGetCredentials_Kerberos(CModelApplicationConnection* connection, SECAttribute* in,
                                               SECAttribute* out);
    HRESULT DoGssActionGetCredentials_X509(CModelApplicationConnection* connection, SECAttribute* in,
                                           SECAttribute* out);
    HRESULT DoGssActionGetCredentials_X509_ChooseToken(CModelApplicationConnection* connection, SECAttribute* in,
                                                       SECAttribute* out);

    // The connection's temporary key: attaches a reusable one, drops an
    // expired one, and with both lists makes or reuses its key pair.
    HRESULT DoGssActionGetTempKey(CModelApplicationConnection* connection, SECAttribute* in, SECAttribute* out);

private:
    HRESULT encryptDigest_withTempKey(CModelApplicationConnection* connection, SECAttribute* in,
                                      const unsigned char* data, unsigned long length, unsigned char* out,
                                      unsigned long* outLength);
    HRESULT encryptDigest_withSelectedKey(CModelApplicationConnection* connection, SECAttribute* in,
                                          const unsigned char* data, unsigned long length, unsigned char* out,
                                          unsigned long* outLength);
    HRESULT decryptKey_withTempKey(CModelApplicationConnection* connection, SECAttribute* in, const unsigned char* data,
                                   unsigned long length, unsigned char* out, unsigned long* outLength);

    // Guards the two lists; never held across a call into another component.
    CriticalSection m_cs;
    // Targets for which manual server trust is allowed.
    AuxPtr<SET_OF_String> m_trustTargets;
    // Server certificates trusted manually.
    AuxPtr<SET_OF_Certificate> m_trustedCertificates;
};

// The connection's target name (871) as text; empty when it has none.
std::string GssTargetText(SECAttribute* in);

// The record of a connection number with one reference; NULL when none.
HRESULT GssFindConnection(SECAttribute* in, CModelApplicationConnection** out);

}  // namespace ZELK::PSESVC
