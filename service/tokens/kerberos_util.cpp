#include "kerberos_util.h"

#include <cstdint>
#include <cstring>

#include "qev_values.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_text.h"

namespace ZELK::PSESVC {
namespace {

constexpr const char* kKerberosPrefix = "Kerberos-";

unsigned char* PutNumber(unsigned char* at, uint32_t value)
{
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

unsigned char* PutBytes(unsigned char* at, const void* bytes, size_t length)
{
    if (length > 0)
        std::memcpy(at, bytes, length);
    return at + length;
}

// Whether the text is a distinguished name; its common name, when it has
// one, gives the service principal.
bool PrincipalOf(const char* text, StringT<char>& principal)
{
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    if (names == nullptr)
        return false;
    DName* name = nullptr;
    if (FAILED(names->from_text(text, &name)) || name == nullptr)
        return false;
    char* value = nullptr;
    HRESULT hr = names->get_value(name, "CN", 0, &value);
    names->free(name);
    if (hr != S_OK || value == nullptr) {
        sec_free(value);
        return true;
    }
    principal.Attach(value);
    if (std::strchr(principal, '/') == nullptr)
        principal.Format("QEV/%s", static_cast<const char*>(principal));
    if (const char* colon = std::strchr(principal, ':')) {
        StringT<char> cut;
        cut.AssignFromBuffer(principal, static_cast<size_t>(colon - static_cast<const char*>(principal)));
        principal.Attach(cut.Detach());
    }
    return true;
}

}  // namespace

void KerbUtil_convertTicket2OctetString(const char* target, const OctetString* ticket, const OctetString* sessionKey,
                                        int algorithm, OctetString** blob)
{
    if (target == nullptr || ticket == nullptr || sessionKey == nullptr || blob == nullptr)
        return;
    const size_t n = std::strlen(target);
    if (n > UINT32_MAX || ticket->length > UINT32_MAX || sessionKey->length > UINT32_MAX
        || (ticket->length > 0 && ticket->data == nullptr) || (sessionKey->length > 0 && sessionKey->data == nullptr))
        return;
    const size_t total = 16 + n + ticket->length + sessionKey->length;
    auto* out = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
    if (out == nullptr)
        return;
    out->data = static_cast<unsigned char*>(sec_malloc(total));
    if (out->data == nullptr) {
        sec_free(out);
        return;
    }
    unsigned char* at = PutNumber(out->data, static_cast<uint32_t>(n));
    at = PutBytes(at, target, n);
    at = PutNumber(at, static_cast<uint32_t>(ticket->length));
    at = PutBytes(at, ticket->data, ticket->length);
    at = PutNumber(at, static_cast<uint32_t>(sessionKey->length));
    at = PutBytes(at, sessionKey->data, sessionKey->length);
    PutNumber(at, static_cast<uint32_t>(algorithm));
    out->length = total;
    *blob = out;
}

HRESULT KerbUtil_parseKerberosName(const char* name, char** subjectName, char** servicePrincipal)
{
    if (subjectName)
        *subjectName = nullptr;
    if (servicePrincipal)
        *servicePrincipal = nullptr;
    if (name == nullptr || subjectName == nullptr || servicePrincipal == nullptr)
        return E_INVALIDARG;
    const char* rest = name;
    if (std::strncmp(rest, kKerberosPrefix, std::strlen(kKerberosPrefix)) == 0)
        rest += std::strlen(kKerberosPrefix);
    StringT<char> subject;
    StringT<char> principal;
    if (String_StartsWithNoCase(rest, "CN=") && PrincipalOf(rest, principal))
        subject.Assign(rest);
    if (subject.IsEmpty())
        subject.Format("CN=%s", rest);
    if (subject.IsEmpty())
        return E_OUTOFMEMORY;
    *subjectName = subject.Detach();
    *servicePrincipal = principal.IsEmpty() ? nullptr : principal.Detach();
    return S_OK;
}

}  // namespace ZELK::PSESVC
