#include "own_filter.h"

#include <cstring>

#include "lib_lists.h"
#include "qev_attributes.h"

namespace kestrin::qevcrypto::filepse {
namespace {

bool SameName(const DName* a, const DName* b)
{
    const SEC_TYPE_TABLE* t = TypeTable(SEC_TYPE_DName);
    return a != nullptr && b != nullptr && t != nullptr && t->compare(a, b) == 0;
}

bool SameOctets(const OctetString* a, const OctetString* b)
{
    const SEC_TYPE_TABLE* t = TypeTable(SEC_TYPE_OctetString);
    return a != nullptr && b != nullptr && t != nullptr && t->compare(a, b) == 0;
}

bool NameMatches(const DName* pattern, Certificate* certificate)
{
    const auto* t = static_cast<const SEC_DNAME_TYPE_TABLE*>(TypeTable(SEC_TYPE_DName));
    return pattern != nullptr && certificate != nullptr && t != nullptr
           && t->match(pattern, certificate->getSubject()) > 0;
}

bool Passes(const PersonalCertificateInfo* info, const SECAttribute* a, const KeyUsage* usage,
            const OctetString* subjectKeyId)
{
    Certificate* cert = info->certificate;
    switch (a->id) {
    case SEC_ATTR_KEY_ID:
        return info->keyId == nullptr
               || (a->value != nullptr && std::strcmp(info->keyId, static_cast<const char*>(a->value)) == 0);
    case SEC_ATTR_ISSUER_AND_SERIAL: {
        const auto* wanted = static_cast<const IssuerAndSerial*>(a->value);
        if (wanted == nullptr)
            return false;
        if (cert != nullptr
            && (!SameName(cert->getIssuer(), wanted->issuer) || !SameOctets(cert->getSerialNumber(), wanted->serial))) {
            return false;
        }
        const SEC_TYPE_TABLE* t = TypeTable(SEC_TYPE_IssuerAndSerial);
        return info->issuerAndSerial == nullptr || (t != nullptr && t->compare(info->issuerAndSerial, wanted) == 0);
    }
    case SEC_ATTR_SUBJECT_KEY_ID:
        return cert == nullptr || SameOctets(subjectKeyId, static_cast<const OctetString*>(a->value));
    case SEC_ATTR_ROOT_ISSUERS: {
        const DName* top = nullptr;
        if (info->pathEnd != nullptr) {
            top = info->pathEnd->getSubject();
        } else {
            const SEQUENCE_OF_Certificate* last = info->path;
            while (last != nullptr && last->next != nullptr)
                last = last->next;
            if (last != nullptr && last->element != nullptr)
                top = last->element->getIssuer();
        }
        for (const auto* n = static_cast<const SET_OF_DName*>(a->value); top != nullptr && n != nullptr; n = n->next)
            if (SameName(n->element, top))
                return true;
        return false;
    }
    case SEC_ATTR_EXACT_MATCH:
        return info->exactMatch != nullptr && a->value != nullptr
               && std::strcmp(info->exactMatch, static_cast<const char*>(a->value)) == 0;
    case SEC_ATTR_KEY_USAGE: {
        if (usage == nullptr || a->value == nullptr)
            return true;
        uint32_t selector = *static_cast<const uint32_t*>(a->value);
        const uint8_t flags[4] = {usage->digitalSignature, usage->nonRepudiation, usage->keyEncipherment,
                                  usage->dataEncipherment};
        if (selector <= 3)
            return flags[selector] != 0;
        if (selector == 16)
            return flags[0] != 0 || flags[1] != 0;
        if (selector == 17)
            return flags[2] != 0 || flags[3] != 0;
        return true;
    }
    case SEC_ATTR_PATH_SUBJECT: {
        const auto* pattern = static_cast<const DName*>(a->value);
        if (NameMatches(pattern, cert) || NameMatches(pattern, info->pathEnd))
            return true;
        for (const SEQUENCE_OF_Certificate* p = info->path; p != nullptr; p = p->next)
            if (NameMatches(pattern, p->element))
                return true;
        return false;
    }
    case SEC_ATTR_TOKEN_URI: {
        const char* wanted = static_cast<const char*>(a->value);
        return wanted == nullptr || *wanted == 0 || info->tokenName == nullptr
               || std::strcmp(wanted, info->tokenName) == 0;
    }
    case SEC_ATTR_SUBJECT_NAME:
        return cert != nullptr && SameName(cert->getSubject(), static_cast<const DName*>(a->value));
    default:
        return true;
    }
}

}  // namespace

bool PassesOwnFilter(const PersonalCertificateInfo* info, const SECAttribute* filter)
{
    if (info == nullptr)
        return false;
    const KeyUsage* usage = nullptr;
    const OctetString* subjectKeyId = nullptr;
    if (info->certificate != nullptr) {
        usage = info->certificate->getExtKeyUsage(nullptr);
        subjectKeyId = info->certificate->getSubjectKeyIdentifier();
    }
    for (const SECAttribute* a = filter; a != nullptr; a = a->next)
        if (!a->answered && !Passes(info, a, usage, subjectKeyId))
            return false;
    return true;
}

}  // namespace kestrin::qevcrypto::filepse
