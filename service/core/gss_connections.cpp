#include "gss_connections.h"

namespace ZELK::PSESVC {

namespace {
constexpr HRESULT E_GSS_NOKEY = ZELK_RC(0xA010001F);
}  // namespace

HRESULT CGssConnections::DoGssAction(const char*, SECAttribute*, SECAttribute*)
{
    return S_OK;
}

HRESULT CGssConnections::getOwnCertificate(SECAttribute*, SET_OF_PersonalCertificateInfo**)
{
    return S_FALSE;
}

HRESULT CGssConnections::encryptDigest(SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                                       unsigned long*)
{
    return E_GSS_NOKEY;
}

HRESULT CGssConnections::decryptKey(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)
{
    return E_GSS_NOKEY;
}

}  // namespace ZELK::PSESVC
