// The client's cookie jar: the cookies a server set, kept in a table of the
// base module and sent back in one "Cookie" header. Trace lines show cookie
// and authorization values masked.
#pragma once

#include "qevcrypto.h"
#include "zelk_hashtable.h"

namespace kestrin::enrol {

constexpr unsigned long kMaxCookies = 64;
constexpr size_t kMaxCookieLength = 4096;  // name and value together

// Takes the "Set-Cookie" lines among the response's header lines into the jar
// and gives the "Cookie" header of the jar (none when it is empty).
HRESULT ParseHTTPHeaderAndGenerateCookieHeader(HashTable_void* jar, const char* const* lines, unsigned long count,
                                               char** cookieHeader);

// The older way, from the one "Set-Cookie" value of a response: the
// attributes of each cookie are dropped, the cookies joined by ";".
HRESULT GenerateCookieHeader(const char* setCookie, char** cookieHeader);

// A header line fit for a trace: the values of "Cookie" and "Set-Cookie"
// pairs and of "Authorization" replaced by "***".
void MaskHeaderLine(const char* line, char** out);
// A cookie header value ("a=1; b=2") with its values masked.
void MaskCookieValues(const char* header, char** out);

}  // namespace kestrin::enrol
