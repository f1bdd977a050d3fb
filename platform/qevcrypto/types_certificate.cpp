// Type tables of Certificate (98), SET_OF_Certificate (79, counted) and
// SEQUENCE_OF_Certificate (68) in "SEC_COMMONTYPES_1".
#include "qev_request.h"
#include "sec_certificate_fields.h"
#include "types_codec.h"
#include "types_request.h"
#include "types_table.h"
#include "types_value_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {
namespace {

HRESULT CertAddRef(void* value)
{
    if (value == nullptr)
        return E_POINTER;
    static_cast<Certificate*>(value)->AddRef();
    return S_OK;
}

HRESULT CertFree(void* value)
{
    if (value != nullptr)
        static_cast<Certificate*>(value)->Release();
    return S_OK;
}

HRESULT CertCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    Certificate* out = nullptr;
    HRESULT hr = const_cast<Certificate*>(static_cast<const Certificate*>(src))->cpy(&out);
    *dst = out;
    return hr;
}

int CertCompare(const void* a, const void* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    return const_cast<Certificate*>(static_cast<const Certificate*>(a))->cmp(static_cast<const Certificate*>(b));
}

HRESULT CertNew(void** out)
{
    if (out == nullptr)
        return E_POINTER;
    Certificate* cert = nullptr;
    HRESULT hr = NewCertificateUnderConstruction(&cert);
    *out = cert;
    return hr;
}

HRESULT EncodeCertificateValue(const void* value, codec::Out& out)
{
    return codec::EncodeCertificate(static_cast<const Certificate*>(value), out);
}

HRESULT DecodeCertificateValue(codec::In& in, void** value)
{
    Certificate* cert = nullptr;
    HRESULT hr = codec::DecodeCertificate(in, &cert);
    *value = cert;
    return hr;
}

void FreeCertificateValue(void* value)
{
    static_cast<Certificate*>(value)->Release();
}

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

constexpr char kCertificate[] = "Certificate";
constexpr char kSetOfCertificate[] = "SET_OF_Certificate";

constexpr char kSequenceOfCertificate[] = "SEQUENCE_OF_Certificate";

const SEC_TYPE_TABLE s_certificate = {{&TypeInfo<kCertificate>},
                                      &CertAddRef,
                                      &CertFree,
                                      nullptr,
                                      &CertCopy,
                                      &CertCompare,
                                      nullptr,
                                      &CertNew,
                                      &codec::DecodeEntry<SEC_TYPE_Certificate>,
                                      &codec::EncodeEntry<SEC_TYPE_Certificate>};

const SEC_CERTLIST_TYPE_TABLE s_setOfCertificate = {
    SetOfCertificate::Table<SEC_TYPE_SET_OF_Certificate>(&TypeInfo<kSetOfCertificate>), &CertificateListParse,
    &CertificateVerifyIssued};
const SEC_TYPE_TABLE s_sequenceOfCertificate =
    SequenceOfCertificate::Table<SEC_TYPE_SEQUENCE_OF_Certificate>(&TypeInfo<kSequenceOfCertificate>);

QevSlotFill s_fillCertificate("SEC_COMMONTYPES_1", SEC_TYPE_Certificate, const_cast<SEC_TYPE_TABLE*>(&s_certificate));
QevSlotFill s_fillSetOfCertificate("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_Certificate,
                                   const_cast<SEC_CERTLIST_TYPE_TABLE*>(&s_setOfCertificate));
QevSlotFill s_fillSequenceOfCertificate("SEC_COMMONTYPES_1", SEC_TYPE_SEQUENCE_OF_Certificate,
                                        const_cast<SEC_TYPE_TABLE*>(&s_sequenceOfCertificate));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

// The certificate's DER as it was read; a certificate under construction is
// encoded here.
HRESULT EncodeCertificate(const Certificate* value, Out& out)
{
    const uint8_t* der = nullptr;
    size_t length = 0;
    if (values::CertificateDer(const_cast<Certificate*>(value), &der, &length)) {
        out.insert(out.end(), der, der + length);
        return S_OK;
    }
    X509* x509 = values::CertificateX509(const_cast<Certificate*>(value));
    if (x509 == nullptr)
        return E_INVALIDARG;
    unsigned char* bytes = nullptr;
    const int encoded = i2d_X509(x509, &bytes);
    if (encoded <= 0)
        return E_INVALIDARG;
    out.insert(out.end(), bytes, bytes + encoded);
    OPENSSL_free(bytes);
    return S_OK;
}

HRESULT DecodeCertificate(In& in, Certificate** value)
{
    *value = nullptr;
    const uint8_t* content = nullptr;
    size_t length = 0;
    const uint8_t* whole = nullptr;
    size_t wholeLength = 0;
    if (!in.Next(TAG_SEQUENCE, content, length, &whole, &wholeLength))
        return E_INVALIDARG;
    HRESULT hr = values::CertificateFromDer(whole, wholeLength, value);
    return hr == E_OUTOFMEMORY ? hr : FAILED(hr) ? E_INVALIDARG : hr;
}

const Codec kCertificateCodec {&values::EncodeCertificateValue, &values::DecodeCertificateValue,
                               &values::FreeCertificateValue};
const Codec kSetOfCertificateCodec = values::SetOfCertificate::kCodec;
const Codec kSequenceOfCertificateCodec = values::SequenceOfCertificate::kCodec;

}  // namespace kestrin::qevcrypto::codec
