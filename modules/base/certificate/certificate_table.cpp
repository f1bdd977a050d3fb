// Table "zelk.misc.base.certificate.1" of module "zelkbase". The predicates
// decide from the key-usage, extended-key-usage and basic-constraints
// extensions alone, in the order written; none looks at the version, the
// validity or the signature.
#include <cstring>

#include "certificate_types.h"
#include "qevcrypto_encode.h"
#include "zelk_alloc.h"
#include "zelk_base_certificate.h"
#include "zelk_module.h"

namespace kestrin::base {
namespace {

// Longest Base64 text of a certificate that is decoded.
constexpr size_t kMaxBase64Certificate = 1 << 20;

const KeyUsage* KeyUsageOf(const Certificate* cert)
{
    return Mutable(cert)->getExtKeyUsage(nullptr);
}

bool SelfIssued(const Certificate* cert)
{
    const SEC_DNAME_TYPE_TABLE* names = DNameType();
    return names != nullptr && names->compare(Mutable(cert)->getIssuer(), Mutable(cert)->getSubject()) == 0;
}

bool Certificate_IsEncryption(const Certificate* cert)
{
    if (cert == nullptr)
        return false;
    const KeyUsage* usage = KeyUsageOf(cert);
    return usage == nullptr || usage->keyEncipherment || usage->dataEncipherment;
}

bool Certificate_IsSignature(const Certificate* cert)
{
    if (cert == nullptr)
        return false;
    const KeyUsage* usage = KeyUsageOf(cert);
    return usage == nullptr || usage->digitalSignature || usage->nonRepudiation;
}

bool Certificate_HasExtendKeyUsage(const Certificate* cert, const ObjId* oid)
{
    const SEC_OBJID_TYPE_TABLE* objIds = ObjIdType();
    if (cert == nullptr || oid == nullptr || objIds == nullptr)
        return false;
    for (const SEQUENCE_OF_ObjId* link = Mutable(cert)->getExtExtendedKeyUsage(); link != nullptr; link = link->next)
        if (objIds->compare(link->element, oid) == 0)
            return true;
    return false;
}

bool Certificate_IsAuthentication(const Certificate* cert)
{
    const SEC_OBJID_TYPE_TABLE* objIds = ObjIdType();
    if (cert == nullptr || objIds == nullptr)
        return false;
    ObjId* clientAuth = nullptr;
    objIds->from_text("1.3.6.1.5.5.7.3.2", &clientAuth);
    const bool answer = Certificate_HasExtendKeyUsage(cert, clientAuth);
    objIds->free(clientAuth);
    return answer;
}

bool Certificate_IsCA(const Certificate* cert)
{
    if (cert == nullptr)
        return false;
    const KeyUsage* usage = KeyUsageOf(cert);
    if (usage != nullptr && !usage->keyCertSign && !usage->cRLSign)
        return false;
    const BasicConstraints* constraints = Mutable(cert)->getExtBasicConstraints();
    return constraints == nullptr || constraints->cA;
}

bool Certificate_IsRootCA(const Certificate* cert)
{
    return Certificate_IsCA(cert) && SelfIssued(cert);
}

bool Certificate_IsV1RootCA(const Certificate* cert)
{
    if (cert == nullptr || Certificate_IsRootCA(cert))
        return false;
    return SelfIssued(cert);
}

const char* Certificate_GetUTCValidNotBeforeStatic(const Certificate* cert)
{
    return cert != nullptr ? Mutable(cert)->getNotBefore() : nullptr;
}

const char* Certificate_GetUTCValidNotAfterStatic(const Certificate* cert)
{
    return cert != nullptr ? Mutable(cert)->getNotAfter() : nullptr;
}

SET_OF_Certificate* SET_OF_Certificate_Add(SET_OF_Certificate* set, const Certificate* cert)
{
    const SEC_TYPE_TABLE* type = CertificateType();
    if (cert == nullptr || type == nullptr)
        return set;
    SET_OF_Certificate** tail = &set;
    for (; *tail != nullptr; tail = &(*tail)->next)
        if (type->compare((*tail)->element, cert) == 0)
            return set;
    void* copy = nullptr;
    if (FAILED(type->copy(cert, &copy)) || copy == nullptr)
        return set;
    // List nodes come from the list type, which keeps their reference counts.
    const SEC_TYPE_TABLE* listType = CommonType(SEC_TYPE_SET_OF_Certificate);
    if (listType == nullptr || FAILED(listType->new_node(reinterpret_cast<void**>(tail)))) {
        type->free(copy);
        return set;
    }
    (*tail)->element = static_cast<Certificate*>(copy);
    return set;
}

void Certificate_GetSubject(const Certificate* cert, char** text)
{
    if (cert != nullptr && text != nullptr)
        NameText(Mutable(cert)->getSubject(), text);
}

void Certificate_GetIssuer(const Certificate* cert, char** text)
{
    if (cert != nullptr && text != nullptr)
        NameText(Mutable(cert)->getIssuer(), text);
}

void Certificate_DecodeBase64(const char* text, Certificate** out)
{
    const SEC_ENCODE_TABLE* encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(fptr__encode);
    const SEC_TYPE_TABLE* type = CertificateType();
    if (text == nullptr || out == nullptr || encode == nullptr || type == nullptr)
        return;
    const size_t length = strnlen(text, kMaxBase64Certificate + 1);
    if (length > kMaxBase64Certificate)
        return;
    OctetString der {length, static_cast<unsigned char*>(sec_malloc(length + 1))};
    if (der.data == nullptr)
        return;
    std::memcpy(der.data, text, length);
    if (encode->base64_decode(reinterpret_cast<const char*>(der.data), length, der.data, &der.length, nullptr, nullptr)
        == S_OK) {
        void* cert = nullptr;
        type->decode(&der, &cert);
        *out = static_cast<Certificate*>(cert);
    }
    sec_free(der.data);
}

HRESULT ZELKBASE_CERTIFICATE_get_info(const char** name, const char** module, const char** description)
{
    if (name)
        *name = ZELKBASE_CERTIFICATE_API;
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_CERTIFICATE_FUNCTIONS sZELKBASE_CERTIFICATE_TABLE = {
    {ZELKBASE_CERTIFICATE_get_info},
    Certificate_IsEncryption,
    Certificate_IsSignature,
    Certificate_IsAuthentication,
    Certificate_IsCA,
    Certificate_IsRootCA,
    Certificate_IsV1RootCA,
    Certificate_HasExtendKeyUsage,
    Certificate_GetUTCValidNotBeforeStatic,
    Certificate_GetUTCValidNotAfterStatic,
    SET_OF_Certificate_Add,
    Certificate_GetSubject,
    Certificate_GetIssuer,
    Certificate_DecodeBase64,
};

CZELK_API s_register("zelkbase", ZELKBASE_CERTIFICATE_API, &sZELKBASE_CERTIFICATE_TABLE);

}  // namespace
}  // namespace kestrin::base
