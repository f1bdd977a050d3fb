// The own-certificate filter: an entry passes when it meets every attribute
// of the chain that this PSE knows; the first that fails ends the walk. An
// attribute whose value has another type than its id carries fails.
#include <cstring>

#include "pse_base.h"

namespace ZELK::ZELKPSE {
namespace {

struct Extensions {
    const KeyUsage* usage = nullptr;
    const OctetString* keyId = nullptr;
};

bool SameName(const DName* a, const DName* b)
{
    return SameValue(SEC_TYPE_DName, a, b);
}

bool Matches(const DName* pattern, const DName* name)
{
    const SEC_DNAME_TYPE_TABLE* names = NameTable();
    return pattern != nullptr && name != nullptr && names != nullptr && names->match != nullptr
           && names->match(pattern, name) > 0;
}

Certificate* LastOfPath(const PersonalCertificateInfo* entry)
{
    Certificate* last = nullptr;
    for (SEQUENCE_OF_Certificate* node = entry->path; node != nullptr; node = node->next)
        if (node->element != nullptr)
            last = node->element;
    return last;
}

bool IssuerAndSerialPasses(const PersonalCertificateInfo* entry, const IssuerAndSerial* value)
{
    if (value == nullptr)
        return false;
    if (entry->certificate != nullptr
        && (!SameName(entry->certificate->getIssuer(), value->issuer)
            || !SameValue(SEC_TYPE_OctetString, entry->certificate->getSerialNumber(), value->serial)))
        return false;
    return entry->issuerAndSerial == nullptr || SameValue(SEC_TYPE_IssuerAndSerial, entry->issuerAndSerial, value);
}

bool RootIssuersPass(const PersonalCertificateInfo* entry, const SET_OF_DName* names)
{
    const DName* end = nullptr;
    if (entry->pathEnd != nullptr) {
        end = entry->pathEnd->getSubject();
    } else if (Certificate* last = LastOfPath(entry)) {
        end = last->getIssuer();
    }
    if (end == nullptr)
        return false;
    for (const SET_OF_DName* node = names; node != nullptr; node = node->next)
        if (SameName(node->element, end))
            return true;
    return false;
}

bool KeyUsagePasses(const PersonalCertificateInfo* entry, const Extensions& extensions, uint32_t selector)
{
    const KeyUsage* usage = extensions.usage;
    if (entry->certificate == nullptr || usage == nullptr)
        return true;
    switch (selector) {
    case 0:
        return usage->digitalSignature != 0;
    case 1:
        return usage->nonRepudiation != 0;
    case 2:
        return usage->keyEncipherment != 0;
    case 3:
        return usage->dataEncipherment != 0;
    case 16:
        return usage->digitalSignature != 0 || usage->nonRepudiation != 0;
    case 17:
        return usage->keyEncipherment != 0 || usage->dataEncipherment != 0;
    default:
        return true;
    }
}

bool PathSubjectPasses(const PersonalCertificateInfo* entry, const DName* pattern)
{
    if (entry->certificate != nullptr && Matches(pattern, entry->certificate->getSubject()))
        return true;
    if (entry->pathEnd != nullptr && Matches(pattern, entry->pathEnd->getSubject()))
        return true;
    for (SEQUENCE_OF_Certificate* node = entry->path; node != nullptr; node = node->next)
        if (node->element != nullptr && Matches(pattern, node->element->getSubject()))
            return true;
    return false;
}

const char* OrEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

bool Passes(const PersonalCertificateInfo* entry, const Extensions& extensions, const SECAttribute* a)
{
    bool ok = true;
    switch (a->id) {
    case SEC_ATTR_KEY_ID: {
        const auto* keyId = static_cast<const char*>(TypedValue(a, SEC_TYPE_String, ok));
        return keyId != nullptr && entry->keyId != nullptr && std::strcmp(keyId, entry->keyId) == 0;
    }
    case SEC_ATTR_ISSUER_AND_SERIAL: {
        const auto* value = static_cast<const IssuerAndSerial*>(TypedValue(a, SEC_TYPE_IssuerAndSerial, ok));
        return ok && IssuerAndSerialPasses(entry, value);
    }
    case SEC_ATTR_SUBJECT_KEY_ID: {
        const void* value = TypedValue(a, SEC_TYPE_OctetString, ok);
        if (!ok)
            return false;
        return entry->certificate == nullptr || SameValue(SEC_TYPE_OctetString, extensions.keyId, value);
    }
    case SEC_ATTR_ROOT_ISSUERS: {
        const auto* names = static_cast<const SET_OF_DName*>(TypedValue(a, SEC_TYPE_SET_OF_DName, ok));
        return ok && RootIssuersPass(entry, names);
    }
    case SEC_ATTR_CALLER: {
        const auto* part = static_cast<const char*>(TypedValue(a, SEC_TYPE_String, ok));
        return part != nullptr && entry->substring != nullptr && entry->substring[0] != '\0'
               && std::strstr(entry->substring, part) != nullptr;
    }
    case SEC_ATTR_EXACT_MATCH: {
        const auto* text = static_cast<const char*>(TypedValue(a, SEC_TYPE_String, ok));
        return text != nullptr && entry->exactMatch != nullptr && std::strcmp(text, entry->exactMatch) == 0;
    }
    case SEC_ATTR_KEY_USAGE: {
        const auto* selector = static_cast<const int32_t*>(TypedValue(a, SEC_TYPE_int, ok));
        return selector != nullptr && KeyUsagePasses(entry, extensions, static_cast<uint32_t>(*selector));
    }
    case SEC_ATTR_PATH_SUBJECT: {
        const auto* pattern = static_cast<const DName*>(TypedValue(a, SEC_TYPE_DName, ok));
        return pattern != nullptr && PathSubjectPasses(entry, pattern);
    }
    case SEC_ATTR_TOKEN_URI: {
        const auto* uri = static_cast<const char*>(TypedValue(a, SEC_TYPE_String, ok));
        return ok && std::strcmp(OrEmpty(uri), OrEmpty(entry->tokenName)) == 0;
    }
    case SEC_ATTR_SUBJECT_NAME: {
        const auto* name = static_cast<const DName*>(TypedValue(a, SEC_TYPE_DName, ok));
        return entry->certificate != nullptr && SameName(name, entry->certificate->getSubject());
    }
    default:
        return true;
    }
}

}  // namespace

int testOwnCertificate(PersonalCertificateInfo* entry, SECAttribute* filter)
{
    if (entry == nullptr)
        return 0;
    Extensions extensions;
    if (entry->certificate != nullptr) {
        extensions.usage = entry->certificate->getExtKeyUsage(nullptr);
        extensions.keyId = entry->certificate->getSubjectKeyIdentifier();
    }
    for (const SECAttribute* a = filter; a != nullptr; a = a->next)
        if (!Passes(entry, extensions, a))
            return 0;
    return 1;
}

}  // namespace ZELK::ZELKPSE
