// Distinguished names (DName, type 23): conversion to and from OpenSSL's
// X509_NAME and the library's one text form of names.
#pragma once

#include <openssl/x509.h>

#include <string>

#include "qev_values.h"

namespace kestrin::qevcrypto::values {

// Longest name text or encoding the library reads.
constexpr size_t kMaxNameSize = 64 * 1024;

DName* DNameFromX509Name(const X509_NAME* name);
// NULL when the encoding is not a Name.
X509_NAME* X509NameFromDName(const DName* name);

void FreeDName(DName* name);
DName* CopyDName(const DName* name);
int CompareDName(const DName* a, const DName* b);

HRESULT DNameToText(const X509_NAME* name, std::string& text);
// E_INVALIDARG for a text that is not a name in the library's form.
HRESULT DNameFromText(const char* text, X509_NAME** out);

}  // namespace kestrin::qevcrypto::values
