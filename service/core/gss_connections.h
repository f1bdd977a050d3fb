// The connection broker ("zelk.gssconnections"): the secure-network
// connections of the clients. Connection records come with the broker's
// actions; without a record every question is answered as for an unknown
// connection.
#pragma once

#include <vector>

#include "qev_records.h"
#include "qevcrypto.h"
#include "zelk_object.h"
#include "zelk_sync.h"

ZELK_DEFINE_GUID(IID_CGssConnections, 0x4C1F9A72, 0x2B5E, 0x4D83, 0x96, 0x0A, 0x7E, 0x31, 0xC8, 0x5D, 0x22, 0xB9);

namespace ZELK::PSESVC {

class CGssConnections : public IUnknown, public CSingletonFactoryImpl<CGssConnections>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CGssConnections)
    ZELK_INTMAP_ENTRY_CLASS(IID_CGssConnections)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CGssConnections; }

    // A connection action of the control channel: 0.
    virtual HRESULT DoGssAction(const char* action, SECAttribute* in, SECAttribute* out);
    // 1: the connection does not decide, the caller goes on.
    virtual HRESULT getOwnCertificate(SECAttribute* in, SET_OF_PersonalCertificateInfo** out);
    // 0xA010001F: no key of the connection.
    virtual HRESULT encryptDigest(SECAttribute* in, const unsigned char* data, unsigned long length, unsigned char* out,
                                  unsigned long* outLength);
    virtual HRESULT decryptKey(SECAttribute* in, const unsigned char* data, unsigned long length, unsigned char* out,
                               unsigned long* outLength);

private:
    CriticalSection m_cs;
    std::vector<IUnknown*> m_connections;
    std::vector<IUnknown*> m_pending;
};

}  // namespace ZELK::PSESVC
