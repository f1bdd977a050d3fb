// The certificate filter: whether one certificate meets the rules of a policy
// whose value names begin with "CAPIFilter" (key algorithm, validity, issuer
// and subject texts, key usage and extended key usage). The keychain monitor
// applies it with "Common/CAPI", a connection's candidate list with the
// connection's application policy.
#pragma once

#include <cstddef>

#include "qev_values.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_text.h"

ZELK_DEFINE_GUID(IID_CCertificateFilter, 0x6D3B0F2A, 0x4E71, 0x4C59, 0xA8, 0x13, 0x5F, 0x92, 0x0C, 0x7E, 0x44, 0xB1);

namespace ZELK::PSESVC {

class CCertificateFilter : public IUnknown, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CCertificateFilter)
    ZELK_INTMAP_ENTRY_CLASS(IID_CCertificateFilter)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CCertificateFilter; }
    // A new filter without rules (one reference).
    static HRESULT New(CCertificateFilter** out);

    // Holds `policy` (one reference) as the rule policy; 0.
    HRESULT SetPolicy(ZELK_IPolicy* policy);
    // Whether `certificate` meets every rule; `text` is not consulted.
    bool Match(const Certificate* certificate, const char* text);

private:
    ZELK_PTR(ZELK_IPolicy) m_policy;
};

// One row of the key-usage names: the name, its length and the bit number in
// the key-usage extension.
struct KU_ENTRY {
    const char* name;
    size_t length;
    int bit;
};
// One row of the extended-key-usage names: the name, its length and the
// object identifier in dotted text.
struct EXTKU_ENTRY {
    const char* name;
    size_t length;
    const char* oid;
};
// Both end with a row whose name is NULL.
extern const KU_ENTRY KU_TABLE[];
extern const EXTKU_ENTRY EXTKU_TABLE[];

// One check of one certificate against the rule policy; the key information
// and the four name texts are computed at most once, on first use.
class CCertificateMatcher {
public:
    CCertificateMatcher(const Certificate* certificate, const char* text, ZELK_IPolicy* policy);
    ~CCertificateMatcher();
    CCertificateMatcher(const CCertificateMatcher&) = delete;
    CCertificateMatcher& operator=(const CCertificateMatcher&) = delete;

    bool Match();
    bool MatchAlgorithm();
    bool MatchValidity();
    bool MatchIssuer();
    bool MatchSubject();
    bool MatchIssuerExclude();
    bool MatchSubjectExclude();
    bool MatchKeyUsage();
    bool MatchExtendedKeyUsage();

    const KeyInfo* GetKeyInfo();
    int GetAlgEnc();
    const char* GetSubjectName();
    const char* GetSubjectNameUppercase();
    const char* GetIssuerName();
    const char* GetIssuerNameUppercase();

private:
    // The name rule `value`: the upper-case name must contain (or, with
    // `exclude`, must not contain) the upper-case value.
    bool MatchName(const char* value, const char* upperName, bool exclude, const char* traceFormat,
                   const char* rejection);

    const Certificate* m_certificate;
    ZELK_PTR(ZELK_IPolicy) m_policy;
    KeyInfo* m_keyInfo = nullptr;
    bool m_keyInfoFetched = false;
    StringT<char> m_subject;
    StringT<char> m_subjectUpper;
    StringT<char> m_issuer;
    StringT<char> m_issuerUpper;
    bool m_subjectDone = false;
    bool m_subjectUpperDone = false;
    bool m_issuerDone = false;
    bool m_issuerUpperDone = false;
};

}  // namespace ZELK::PSESVC
