// Answers of a token object's attribute template as PKCS#11
// C_GetAttributeValue gives them: every entry is answered, an unknown or
// sensitive attribute or a value longer than the entry's room gets
// CK_UNAVAILABLE_INFORMATION, nothing is written beyond an entry's
// ulValueLen, and the result is CKR_OK or the code of one failing entry.
#pragma once

#include <cstdint>
#include <p11-kit/pkcs11.h>
#include <span>
#include <vector>

#include "zelk_result.h"

namespace kestrin::qevcrypto::keychain {

struct P11Value {
    CK_ATTRIBUTE_TYPE type;
    std::vector<uint8_t> bytes;
    bool sensitive = false;
};

P11Value P11Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
P11Value P11Bool(CK_ATTRIBUTE_TYPE type, bool value);
P11Value P11Bytes(CK_ATTRIBUTE_TYPE type, std::span<const uint8_t> bytes);
P11Value P11Sensitive(CK_ATTRIBUTE_TYPE type);

// Largest template taken.
constexpr unsigned long kMaxTemplate = 256;

// E_INVALIDARG for a NULL template with entries or more than kMaxTemplate.
HRESULT AnswerTemplate(CK_ATTRIBUTE* attributes, unsigned long count, const std::vector<P11Value>& values);

}  // namespace kestrin::qevcrypto::keychain
