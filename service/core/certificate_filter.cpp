#include "certificate_filter.h"

#include <cstring>

#include "qev_time.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

const KU_ENTRY KU_TABLE[] = {
    {"DATAENCIPHERMENT", 16, 3}, {"DIGITALSIGNATURE", 16, 0}, {"KEYAGREEMENT", 12, 4}, {"KEYCERTSIGN", 11, 5},
    {"KEYENCIPHERMENT", 15, 2},  {"NONREPUDIATION", 14, 1},   {"CRLSIGN", 7, 6},       {nullptr, 0, -1},
};

const EXTKU_ENTRY EXTKU_TABLE[] = {
    {"SERVERAUTHENTICATION", 20, "1.3.6.1.5.5.7.3.1"},
    {"CLIENTAUTHENTICATION", 20, "1.3.6.1.5.5.7.3.2"},
    {"CODESIGNING", 11, "1.3.6.1.5.5.7.3.3"},
    {"EMAILPROTECTION", 15, "1.3.6.1.5.5.7.3.4"},
    {"IPSECENDSYSTEM", 14, "1.3.6.1.5.5.7.3.5"},
    {"IPSECTUNNEL", 11, "1.3.6.1.5.5.7.3.6"},
    {"IPSECUSER", 9, "1.3.6.1.5.5.7.3.7"},
    {"TIMESTAMPSIGNING", 16, "1.3.6.1.5.5.7.3.8"},
    {"OCSPSIGNING", 11, "1.3.6.1.5.5.7.3.9"},
    {"MICROSOFTEFS", 12, "1.3.6.1.4.1.311.10.3.4"},
    {"MICROSOFTEFSRECOVERY", 20, "1.3.6.1.4.1.311.10.3.4.1"},
    {"MICROSOFTKEYRECOVERY", 20, "1.3.6.1.4.1.311.10.3.11"},
    {"MICROSOFTDOCUMENTSIGNING", 24, "1.3.6.1.4.1.311.10.3.12"},
    {"MICROSOFTSMARTCARDLOGON", 23, "1.3.6.1.4.1.311.20.2.2"},
    {nullptr, 0, nullptr},
};

namespace {

API_COMMON* s_secTime = nullptr;
CLoadAPI s_loadSecTime(nullptr, SEC_TIME_API, &s_secTime);

constexpr const char* kValidOnly = "CAPIFilterValidOnly";
constexpr const char* kIssuerDN = "CAPIFilterIssuerDN";
constexpr const char* kSubjectDN = "CAPIFilterSubjectDN";
constexpr const char* kExcludeIssuerDN = "CAPIFilterExcludeIssuerDN";
constexpr const char* kExcludeSubjectDN = "CAPIFilterExcludeSubjectDN";
constexpr const char* kKeyUsage = "CAPIFilterKeyUsage";
constexpr const char* kExtendedKeyUsage = "CAPIFilterExtendedKeyUsage";

// The crypto library's numbers of RSA, DSA and EC keys.
constexpr int kAlgRsa = 0;
constexpr int kAlgDsa = 3;
constexpr int kAlgEc = 17;

// A certificate of version 3 or above (0-based 2) must carry an extension that
// a usage rule asks about; older certificates have no extensions to carry.
constexpr int kDecidingVersion = 2;

const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

// The text form of a name; empty when it has none or cannot be turned into text.
void NameText(const DName* name, StringT<char>& text)
{
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(TypeTable(SEC_TYPE_DName));
    char* converted = nullptr;
    if (names == nullptr || name == nullptr || FAILED(names->to_text(name, &converted)) || converted == nullptr) {
        sec_free(converted);
        text = "";
        return;
    }
    text.Attach(converted);
}

// The longest row of `table` whose name stands at `text`: where one name
// begins another ("MICROSOFTEFS" and "MICROSOFTEFSRECOVERY"), the shorter
// would otherwise hide the longer for ever.
template <class Row>
const Row* LongestRowAt(const Row* table, const char* text)
{
    const Row* best = nullptr;
    for (const Row* row = table; row->name != nullptr; ++row)
        if (std::strncmp(text, row->name, row->length) == 0 && (best == nullptr || row->length > best->length))
            best = row;
    return best;
}

// The scan of a usage list: each "+" (required) or "-" (forbidden) followed
// by a row's name asks `allowed(row, required)`; everything else is passed
// over. False at the first rule the certificate breaks.
template <class Row, class Allowed>
bool ScanUsageList(const char* list, const Row* table, Allowed allowed)
{
    size_t length = std::strlen(list);
    size_t i = 0;
    while (i < length) {
        char sign = list[i++];
        if (sign != '+' && sign != '-')
            continue;
        if (i >= length)
            break;
        const Row* row = LongestRowAt(table, list + i);
        if (row == nullptr) {
            ++i;
            continue;
        }
        if (!allowed(*row, sign == '+'))
            return false;
        i += row->length;
    }
    return true;
}

bool KeyUsageBit(const KeyUsage* usage, int bit)
{
    const uint8_t flags[] = {usage->digitalSignature, usage->nonRepudiation, usage->keyEncipherment,
                             usage->dataEncipherment, usage->keyAgreement,   usage->keyCertSign,
                             usage->cRLSign,          usage->encipherOnly,   usage->decipherOnly};
    return bit >= 0 && static_cast<size_t>(bit) < sizeof flags && flags[bit] != 0;
}

bool HasObjId(const SEQUENCE_OF_ObjId* list, const char* dotted)
{
    const auto* ids = static_cast<const SEC_OBJID_TYPE_TABLE*>(TypeTable(SEC_TYPE_ObjId));
    if (ids == nullptr)
        return false;
    ObjId* wanted = nullptr;
    if (FAILED(ids->from_text(dotted, &wanted)) || wanted == nullptr)
        return false;
    bool found = false;
    for (; list != nullptr && !found; list = list->next)
        found = list->element != nullptr && ids->compare(list->element, wanted) == 0;
    ids->free(wanted);
    return found;
}

}  // namespace

HRESULT CCertificateFilter::New(CCertificateFilter** out)
{
    return CFactoryImpl<CCertificateFilter>::New(IID_CCertificateFilter, reinterpret_cast<void**>(out));
}

HRESULT CCertificateFilter::SetPolicy(ZELK_IPolicy* policy)
{
    m_policy = policy;
    return S_OK;
}

bool CCertificateFilter::Match(const Certificate* certificate, const char* text)
{
    CCertificateMatcher matcher(certificate, text, m_policy);
    return matcher.Match();
}

CCertificateMatcher::CCertificateMatcher(const Certificate* certificate, const char*, ZELK_IPolicy* policy)
    : m_certificate(certificate), m_policy(policy)
{}

CCertificateMatcher::~CCertificateMatcher()
{
    if (m_keyInfo != nullptr)
        TypeTable(SEC_TYPE_KeyInfo)->free(m_keyInfo);
}

bool CCertificateMatcher::Match()
{
    return MatchAlgorithm() && MatchValidity() && MatchIssuer() && MatchSubject() && MatchIssuerExclude()
           && MatchSubjectExclude() && MatchKeyUsage() && MatchExtendedKeyUsage();
}

const KeyInfo* CCertificateMatcher::GetKeyInfo()
{
    if (!m_keyInfoFetched) {
        m_keyInfoFetched = true;
        if (m_certificate != nullptr && TypeTable(SEC_TYPE_KeyInfo) != nullptr
            && FAILED(const_cast<Certificate*>(m_certificate)->getPublicKeyInfo(&m_keyInfo)))
            m_keyInfo = nullptr;
    }
    return m_keyInfo;
}

int CCertificateMatcher::GetAlgEnc()
{
    const KeyInfo* key = GetKeyInfo();
    const auto* ids = static_cast<const SEC_OBJID_TYPE_TABLE*>(TypeTable(SEC_TYPE_ObjId));
    if (key == nullptr || key->algorithm == nullptr || ids == nullptr)
        return -1;
    return ids->key_algorithm(key->algorithm->objid);
}

const char* CCertificateMatcher::GetSubjectName()
{
    if (!m_subjectDone) {
        m_subjectDone = true;
        NameText(m_certificate ? const_cast<Certificate*>(m_certificate)->getSubject() : nullptr, m_subject);
    }
    return m_subject;
}

const char* CCertificateMatcher::GetSubjectNameUppercase()
{
    if (!m_subjectUpperDone) {
        m_subjectUpperDone = true;
        m_subjectUpper = GetSubjectName();
        m_subjectUpper.MakeUpper();
    }
    return m_subjectUpper;
}

const char* CCertificateMatcher::GetIssuerName()
{
    if (!m_issuerDone) {
        m_issuerDone = true;
        NameText(m_certificate ? const_cast<Certificate*>(m_certificate)->getIssuer() : nullptr, m_issuer);
    }
    return m_issuer;
}

const char* CCertificateMatcher::GetIssuerNameUppercase()
{
    if (!m_issuerUpperDone) {
        m_issuerUpperDone = true;
        m_issuerUpper = GetIssuerName();
        m_issuerUpper.MakeUpper();
    }
    return m_issuerUpper;
}

bool CCertificateMatcher::MatchAlgorithm()
{
    int algorithm = GetAlgEnc();
    if (algorithm == kAlgRsa || algorithm == kAlgDsa || algorithm == kAlgEc)
        return true;
    SECTRACE_FormatLn(nullptr, 4,
                      "CCertificateFilter:: Certificate: [%s] rejected because only RSA, DSA and ECDSA keys are "
                      "supported",
                      GetSubjectName());
    return false;
}

bool CCertificateMatcher::MatchValidity()
{
    if (!m_policy || m_policy->GetDWORD(kValidOnly) == 0)
        return true;
    SECTRACE_WriteLn(nullptr, 4, "CCertificateFilter:: CAPIFilterValidOnly() check");
    auto* time = ZELK_ApiCast<SEC_TIME_TABLE>(s_secTime);
    auto* certificate = const_cast<Certificate*>(m_certificate);
    bool valid = false;
    if (time != nullptr && certificate != nullptr) {
        char* now = nullptr;
        if (SUCCEEDED(time->now(SEC_TIME_GENERALIZED, &now)) && now != nullptr)
            valid = time->check_validity(certificate->getNotBefore(), now, certificate->getNotAfter()) >= 0;
        sec_free(now);
    }
    if (!valid)
        SECTRACE_FormatLn(nullptr, 4,
                          "CCertificateFilter:: Certificate: [%s] rejected by filter: [CAPIFilterValidOnly]",
                          GetSubjectName());
    return valid;
}

bool CCertificateMatcher::MatchName(const char* name, const char* upperName, bool exclude, const char* traceFormat,
                                    const char* rejection)
{
    StringT<char> value(m_policy.getObject(), name);
    if (value.IsEmpty())
        return true;
    value.MakeUpper();
    SECTRACE_FormatLn(nullptr, 4, traceFormat, static_cast<const char*>(value));
    bool found = String_Find(upperName ? upperName : "", 0, value) != ZELK_STRING_NOTFOUND;
    if (found == exclude) {
        SECTRACE_FormatLn(nullptr, 4, rejection, GetSubjectName());
        return false;
    }
    return true;
}

bool CCertificateMatcher::MatchIssuer()
{
    return MatchName(kIssuerDN, GetIssuerNameUppercase(), false,
                     "CCertificateFilter:: CAPIFilterIssuerDN() MUST CONTAIN \"%s\" ...",
                     "CCertificateFilter:: Certificate: [%s] rejected by filter: [CAPIFilterIssuerDN]");
}

bool CCertificateMatcher::MatchSubject()
{
    return MatchName(kSubjectDN, GetSubjectNameUppercase(), false,
                     "CCertificateFilter:: CAPIFilterSubjectDN() MUST CONTAIN \"%s\" ...",
                     "CCertificateFilter:: Certificate: [%s] rejected by filter: [CAPIFilterSubjectDN]");
}

bool CCertificateMatcher::MatchIssuerExclude()
{
    return MatchName(kExcludeIssuerDN, GetIssuerNameUppercase(), true,
                     "CCertificateFilter:: CAPIFilterExcludeIssuerDN() MUST NOT CONTAIN \"%s\" ...",
                     "CCertificateFilter:: Certificate: [%s] rejected by filter: [CAPIFilterExcludeIssuerDN]");
}

bool CCertificateMatcher::MatchSubjectExclude()
{
    return MatchName(kExcludeSubjectDN, GetSubjectNameUppercase(), true,
                     "CCertificateFilter:: CAPIFilterExcludeSubjectDN() MUST NOT CONTAIN \"%s\" ...",
                     "CCertificateFilter:: Certificate: [%s] rejected by filter: [CAPIFilterExcludeSubjectDN]");
}

bool CCertificateMatcher::MatchKeyUsage()
{
    StringT<char> list(m_policy.getObject(), kKeyUsage);
    if (list.IsEmpty())
        return true;
    SECTRACE_FormatLn(nullptr, 4, "CAPIFilter:: CAPIFilterKeyUsage() filter: [%s] ", static_cast<const char*>(list));
    list.MakeUpper();
    auto* certificate = const_cast<Certificate*>(m_certificate);
    const KeyUsage* usage = certificate ? certificate->getExtKeyUsage(nullptr) : nullptr;
    if (usage == nullptr)
        return certificate != nullptr && certificate->getDecidingNumber() < kDecidingVersion;
    bool pass = ScanUsageList(static_cast<const char*>(list), KU_TABLE, [&](const KU_ENTRY& row, bool required) {
        return KeyUsageBit(usage, row.bit) == required;
    });
    if (!pass)
        SECTRACE_FormatLn(nullptr, 4, "CAPIFilter:: Certificate: [%s] rejected by filter: [CAPIFilterKeyUsage]:[%s]",
                          GetSubjectName(), static_cast<const char*>(list));
    return pass;
}

bool CCertificateMatcher::MatchExtendedKeyUsage()
{
    StringT<char> list(m_policy.getObject(), kExtendedKeyUsage);
    if (list.IsEmpty())
        return true;
    SECTRACE_FormatLn(nullptr, 4, "CAPIFilter:: CAPIFilterExtendedKeyUsage() filter: [%s] ",
                      static_cast<const char*>(list));
    list.MakeUpper();
    auto* certificate = const_cast<Certificate*>(m_certificate);
    const SEQUENCE_OF_ObjId* usage = certificate ? certificate->getExtExtendedKeyUsage() : nullptr;
    if (usage == nullptr)
        return certificate != nullptr && certificate->getDecidingNumber() < kDecidingVersion;
    bool pass = ScanUsageList(static_cast<const char*>(list), EXTKU_TABLE, [&](const EXTKU_ENTRY& row, bool required) {
        return HasObjId(usage, row.oid) == required;
    });
    if (!pass)
        SECTRACE_FormatLn(nullptr, 4,
                          "CAPIFilter:: Certificate: [%s] rejected by filter: [CAPIFilterExtendedKeyUsage]:[%s]",
                          GetSubjectName(), static_cast<const char*>(list));
    return pass;
}

}  // namespace ZELK::PSESVC
