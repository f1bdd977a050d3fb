// The certificate functions of module "zelkbase" as a client deliverable
// reaches them: the bound table "zelk.misc.base.certificate.1" and inline
// functions of the slots' names that call it. A deliverable that uses them
// binds the table once, in one of its source files:
//   ZELK_BASE_CERTIFICATE_CLIENT_BINDING();
#pragma once

#include "zelk_base_certificate.h"
#include "zelk_module.h"

extern API_COMMON* ZELKBASE_CERTIFICATE_TABLE;

#define ZELK_BASE_CERTIFICATE_CLIENT_BINDING()                                                                         \
    API_COMMON* ZELKBASE_CERTIFICATE_TABLE = nullptr;                                                                  \
    static CLoadAPI dynload_zelk_base_certificate_fkts("zelkbase", ZELKBASE_CERTIFICATE_API,                           \
                                                       &ZELKBASE_CERTIFICATE_TABLE)

namespace kestrin::runtime::certificate {
inline const ZELKBASE_CERTIFICATE_FUNCTIONS* T()
{
    return ZELK_ApiCast<ZELKBASE_CERTIFICATE_FUNCTIONS>(ZELKBASE_CERTIFICATE_TABLE);
}
}  // namespace kestrin::runtime::certificate

// An unbound table answers as a null certificate does: false, NULL, the set
// unchanged, no text.
inline bool Certificate_IsEncryption(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsEncryption(cert);
}
inline bool Certificate_IsSignature(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsSignature(cert);
}
inline bool Certificate_IsAuthentication(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsAuthentication(cert);
}
inline bool Certificate_IsCA(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsCA(cert);
}
inline bool Certificate_IsRootCA(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsRootCA(cert);
}
inline bool Certificate_IsV1RootCA(const Certificate* cert)
{
    return kestrin::runtime::certificate::T() && kestrin::runtime::certificate::T()->Certificate_IsV1RootCA(cert);
}
inline bool Certificate_HasExtendKeyUsage(const Certificate* cert, const ObjId* oid)
{
    return kestrin::runtime::certificate::T()
           && kestrin::runtime::certificate::T()->Certificate_HasExtendKeyUsage(cert, oid);
}
inline const char* Certificate_GetUTCValidNotBeforeStatic(const Certificate* cert)
{
    return kestrin::runtime::certificate::T()
               ? kestrin::runtime::certificate::T()->Certificate_GetUTCValidNotBeforeStatic(cert)
               : nullptr;
}
inline const char* Certificate_GetUTCValidNotAfterStatic(const Certificate* cert)
{
    return kestrin::runtime::certificate::T()
               ? kestrin::runtime::certificate::T()->Certificate_GetUTCValidNotAfterStatic(cert)
               : nullptr;
}
inline SET_OF_Certificate* SET_OF_Certificate_Add(SET_OF_Certificate* set, const Certificate* cert)
{
    return kestrin::runtime::certificate::T() ? kestrin::runtime::certificate::T()->SET_OF_Certificate_Add(set, cert)
                                              : set;
}
inline void Certificate_GetSubject(const Certificate* cert, char** text)
{
    if (kestrin::runtime::certificate::T())
        kestrin::runtime::certificate::T()->Certificate_GetSubject(cert, text);
}
inline void Certificate_GetIssuer(const Certificate* cert, char** text)
{
    if (kestrin::runtime::certificate::T())
        kestrin::runtime::certificate::T()->Certificate_GetIssuer(cert, text);
}
inline void Certificate_DecodeBase64(const char* text, Certificate** out)
{
    if (kestrin::runtime::certificate::T())
        kestrin::runtime::certificate::T()->Certificate_DecodeBase64(text, out);
}
