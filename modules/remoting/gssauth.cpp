#include "gssauth.h"

#include <cstring>

#include "zelk_alloc.h"

namespace ZELK::PSESVC {

HRESULT GssAuthServerStub::Execute(Method method, TransactionStub& transaction)
{
    switch (method) {
    case METHOD_GSS_HANDSHAKE:
        return Handshake(transaction);
    case METHOD_GSS_PEERCERTIFICATES:
        return GetPeerCertificates(transaction);
    case METHOD_GSS_EXPORTCONTEXT:
        return ExportSecurityContext(transaction);
    default:
        return -1;
    }
}

HRESULT GssAuthServerStub::Answer(TransactionStub& transaction, HRESULT rc, unsigned char* out, unsigned long outLength)
{
    transaction.WriteRC(rc);
    if (rc >= 0)
        transaction.WriteOctetString(out, out != nullptr ? outLength : 0);
    sec_free(out);
    return rc;
}

HRESULT GssAuthServerStub::Handshake(TransactionStub& transaction)
{
    OctetString* input = nullptr;
    if (!transaction.ReadOctetString(&input))
        return -1;
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    HRESULT rc = m_object->Handshake(input != nullptr ? input->data : nullptr, input != nullptr ? input->length : 0,
                                     &out, &outLength);
    WireFree(&input);
    return Answer(transaction, rc, out, outLength);
}

HRESULT GssAuthServerStub::GetPeerCertificates(TransactionStub& transaction)
{
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    HRESULT rc = m_object->GetPeerCertificates(&out, &outLength);
    return Answer(transaction, rc, out, outLength);
}

HRESULT GssAuthServerStub::ExportSecurityContext(TransactionStub& transaction)
{
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    HRESULT rc = m_object->ExportSecurityContext(&out, &outLength);
    return Answer(transaction, rc, out, outLength);
}

// The output token in a new buffer one byte longer than its length.
HRESULT GssAuthServerProxy::Call(Transaction& transaction, unsigned char** out, unsigned long* outLength)
{
    HRESULT rc = Execute(&transaction);
    if (rc < 0)
        return rc;
    if (!transaction.ReadRC(&rc))
        return E_FAIL;
    if (rc < 0)
        return rc;
    const unsigned char* data = nullptr;
    size_t n = 0;
    if (!transaction.ReadOctetString(&data, &n))
        return E_FAIL;
    auto* copy = static_cast<unsigned char*>(sec_malloc(n + 1));
    if (copy == nullptr)
        return E_FAIL;
    if (n != 0)
        std::memcpy(copy, data, n);
    if (out != nullptr)
        *out = copy;
    else
        sec_free(copy);
    if (outLength != nullptr)
        *outLength = n;
    return rc;
}

HRESULT GssAuthServerProxy::Handshake(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                      unsigned long* outLength)
{
    Transaction transaction;
    transaction.Init(Number(), METHOD_GSS_HANDSHAKE);
    transaction.WriteOctetString(in, in != nullptr ? inLength : 0);
    return Call(transaction, out, outLength);
}

HRESULT GssAuthServerProxy::GetPeerCertificates(unsigned char** out, unsigned long* outLength)
{
    Transaction transaction;
    transaction.Init(Number(), METHOD_GSS_PEERCERTIFICATES);
    return Call(transaction, out, outLength);
}

HRESULT GssAuthServerProxy::ExportSecurityContext(unsigned char** out, unsigned long* outLength)
{
    Transaction transaction;
    transaction.Init(Number(), METHOD_GSS_EXPORTCONTEXT);
    return Call(transaction, out, outLength);
}

}  // namespace ZELK::PSESVC
