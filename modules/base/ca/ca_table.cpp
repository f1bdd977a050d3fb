// Table "zelk.misc.base.ca.1" of module "zelkbase": setters of a certificate
// under construction. They report nothing; the certificate's own setters
// check what they are given.
#include "zelk_base_network.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

HRESULT Certificate_SetSubjectPK(Certificate* cert, const KeyInfo* key, uint8_t)
{
    if (cert != nullptr)
        cert->setSubjectPublicKey(key);
    return S_OK;
}

HRESULT Certificate_SetIssuer(Certificate* cert, const DName* name)
{
    if (cert != nullptr)
        cert->setIssuer(name);
    return S_OK;
}

HRESULT Certificate_SetSubject(Certificate* cert, const DName* name)
{
    if (cert != nullptr)
        cert->setSubject(name);
    return S_OK;
}

HRESULT Certificate_SetSerialNumber(Certificate* cert, const OctetString* serial)
{
    if (cert != nullptr)
        cert->setSerialNumber(serial);
    return S_OK;
}

HRESULT Certificate_SetValidity(Certificate* cert, const char* notBefore, const char* notAfter)
{
    if (cert != nullptr) {
        cert->setNotBefore(notBefore);
        cert->setNotAfter(notAfter);
    }
    return S_OK;
}

KeyUsage UsageOfCode(int code)
{
    KeyUsage usage {};
    uint8_t* flags = &usage.digitalSignature;
    if (code >= 0 && code <= 8) {
        flags[code] = 1;
    } else if (code == ZELK_KEYUSAGE_SIGNATURE || code == ZELK_KEYUSAGE_BOTH) {
        usage.digitalSignature = 1;
        usage.nonRepudiation = 1;
    }
    if (code == ZELK_KEYUSAGE_ENCRYPTION || code == ZELK_KEYUSAGE_BOTH) {
        usage.keyEncipherment = 1;
        usage.dataEncipherment = 1;
    }
    return usage;
}

HRESULT Certificate_SetKeyUsage(Certificate* cert, int code)
{
    if (cert != nullptr) {
        const KeyUsage usage = UsageOfCode(code);
        cert->setExtKeyUsage(&usage, 1);
    }
    return S_OK;
}

HRESULT Certificate_SetBasicConstraints(Certificate*, bool)
{
    return S_OK;
}

HRESULT ZELKBASE_CA_get_info(const char** name, const char** module, const char** description)
{
    if (name)
        *name = ZELKBASE_CA_API;
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_CA_FUNCTIONS sZELKBASE_CA_TABLE = {
    {ZELKBASE_CA_get_info},      Certificate_SetSubjectPK, Certificate_SetIssuer,   Certificate_SetSubject,
    Certificate_SetSerialNumber, Certificate_SetValidity,  Certificate_SetKeyUsage, Certificate_SetBasicConstraints,
};

CZELK_API s_register("zelkbase", ZELKBASE_CA_API, &sZELKBASE_CA_TABLE);

}  // namespace
}  // namespace kestrin::base
