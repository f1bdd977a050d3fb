// The certificate filter of own certificates: a personal certificate info
// passes when it meets every attribute of the chain.
#include <cstring>

#include "qev_attributes.h"
#include "zelk_holders.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {
namespace {

const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

const SEC_DNAME_TYPE_TABLE* Names()
{
    return static_cast<const SEC_DNAME_TYPE_TABLE*>(TypeTable(SEC_TYPE_DName));
}

// Equal by the type's compare entry; a missing value on either side is unequal.
// Names with the same encoding are equal without asking the library, which
// decodes both names for every comparison.
bool Same(unsigned int index, const void* a, const void* b)
{
    if (index == SEC_TYPE_DName && a != nullptr && b != nullptr) {
        const auto* x = static_cast<const DName*>(a);
        const auto* y = static_cast<const DName*>(b);
        if (x->length == y->length && (x->length == 0 || std::memcmp(x->der, y->der, x->length) == 0))
            return true;
    }
    const SEC_TYPE_TABLE* table = TypeTable(index);
    return a != nullptr && b != nullptr && table != nullptr && table->compare != nullptr && table->compare(a, b) == 0;
}

void TraceName(const char* format, const DName* name)
{
    const SEC_DNAME_TYPE_TABLE* names = Names();
    if (!SECTRACE_Check(nullptr, 5) || names == nullptr || name == nullptr)
        return;
    char* text = nullptr;
    if (SUCCEEDED(names->to_text(name, &text)) && text != nullptr)
        SECTRACE_FormatLnEx(nullptr, 5, 0, format, text);
    sec_free(text);
}

// The last certificate of the info's chain.
Certificate* LastOfChain(const PersonalCertificateInfo* info)
{
    Certificate* last = nullptr;
    for (SEQUENCE_OF_Certificate* node = info->path; node != nullptr; node = node->next)
        if (node->element != nullptr)
            last = node->element;
    return last;
}

bool RootIssuerMatches(const PersonalCertificateInfo* info, SET_OF_DName* roots)
{
    const DName* name = nullptr;
    if (info->pathEnd != nullptr) {
        name = info->pathEnd->getSubject();
    } else {
        Certificate* last = LastOfChain(info);
        if (last == nullptr)
            return false;
        name = last->getIssuer();
    }
    for (SET_OF_DName* node = roots; node != nullptr; node = node->next)
        if (Same(SEC_TYPE_DName, node->element, name))
            return true;
    return false;
}

bool PathSubjectMatches(const PersonalCertificateInfo* info, const DName* pattern)
{
    const SEC_DNAME_TYPE_TABLE* names = Names();
    if (names == nullptr || names->match == nullptr || pattern == nullptr)
        return false;
    auto matches = [&](Certificate* certificate) {
        const DName* subject = certificate ? certificate->getSubject() : nullptr;
        return subject != nullptr && names->match(pattern, subject) > 0;
    };
    if (info->certificate != nullptr)
        return matches(info->certificate);
    if (info->pathEnd != nullptr)
        return matches(info->pathEnd);
    for (SEQUENCE_OF_Certificate* node = info->path; node != nullptr; node = node->next)
        if (matches(node->element))
            return true;
    return false;
}

bool KeyUsagePasses(const KeyUsage* usage, uint32_t selector)
{
    if (usage == nullptr)
        return true;
    switch (selector) {
    case 0:
        return usage->digitalSignature;
    case 1:
        return usage->nonRepudiation;
    case 2:
        return usage->keyEncipherment;
    case 3:
        return usage->dataEncipherment;
    case 16:
        return usage->digitalSignature || usage->nonRepudiation;
    case 17:
        return usage->keyEncipherment || usage->dataEncipherment;
    default:
        return true;
    }
}

bool IssuerAndSerialPasses(const PersonalCertificateInfo* info, const IssuerAndSerial* value)
{
    if (value == nullptr)
        return false;
    if (info->certificate != nullptr) {
        TraceName("Haveing Issuer: %s", info->certificate->getIssuer());
        if (!Same(SEC_TYPE_DName, info->certificate->getIssuer(), value->issuer)
            || !Same(SEC_TYPE_OctetString, info->certificate->getSerialNumber(), value->serial))
            return false;
    }
    return info->issuerAndSerial == nullptr || Same(SEC_TYPE_IssuerAndSerial, info->issuerAndSerial, value);
}

// Whether the entry's value has another type than its identifier carries.
bool OfOtherType(SECAttribute* entry)
{
    unsigned int type = SEC_AttributeValueType(entry->id);
    return entry->type != nullptr && type != 0 && entry->type != TypeTable(type);
}

bool Passes(const PersonalCertificateInfo* info, SECAttribute* entry, const KeyUsage* usage,
            const OctetString* subjectKeyId)
{
    // A value of another type is no criterion, as if the entry were absent.
    if (OfOtherType(entry))
        return true;
    const void* value = entry->value;
    const char* text = static_cast<const char*>(value);
    switch (entry->id) {
    case SEC_ATTR_KEY_ID:
        return info->keyId == nullptr || (text != nullptr && std::strcmp(info->keyId, text) == 0);
    case SEC_ATTR_ISSUER_AND_SERIAL:
        return IssuerAndSerialPasses(info, static_cast<const IssuerAndSerial*>(value));
    case SEC_ATTR_SUBJECT_KEY_ID:
        return info->certificate == nullptr || Same(SEC_TYPE_OctetString, subjectKeyId, value);
    case SEC_ATTR_ROOT_ISSUERS:
        return RootIssuerMatches(info, static_cast<SET_OF_DName*>(const_cast<void*>(value)));
    case SEC_ATTR_EXACT_MATCH:
        return info->exactMatch != nullptr && text != nullptr && std::strcmp(info->exactMatch, text) == 0;
    case SEC_ATTR_KEY_USAGE:
        return value == nullptr || KeyUsagePasses(usage, *static_cast<const uint32_t*>(value));
    case SEC_ATTR_PATH_SUBJECT:
        return PathSubjectMatches(info, static_cast<const DName*>(value));
    case SEC_ATTR_TOKEN_URI:
        return text == nullptr || *text == 0 || info->tokenName == nullptr || std::strcmp(info->tokenName, text) == 0;
    case SEC_ATTR_SUBJECT_NAME:
        return info->certificate != nullptr && Same(SEC_TYPE_DName, info->certificate->getSubject(), value);
    default:
        return true;
    }
}

}  // namespace

bool sec_store_test_own_Certificate(PersonalCertificateInfo* info, SECAttribute* filter)
{
    SECTRACE_Fkt_IMPL<int> trace("%8x", "sec_store_test_own_Certificate");
    if (info == nullptr)
        return false;
    const KeyUsage* usage = nullptr;
    const OctetString* subjectKeyId = nullptr;
    if (info->certificate != nullptr) {
        usage = info->certificate->getExtKeyUsage(nullptr);
        subjectKeyId = info->certificate->getSubjectKeyIdentifier();
    }
    for (SECAttribute* entry = filter; entry != nullptr; entry = entry->next)
        if (!Passes(info, entry, usage, subjectKeyId))
            return false;
    trace.result = 1;
    return true;
}

}  // namespace ZELK::PSESVC
