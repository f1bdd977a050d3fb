// Lists of certificates and of algorithm identifiers, which several types
// hold (see types_lists.h for the list machinery).
#pragma once

#include "qev_records.h"
#include "types_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {

inline void ReleaseCertificate(Certificate* cert)
{
    cert->Release();
}

// A copy of a certificate is another reference to the same object.
inline HRESULT CopyCertificateElement(const Certificate* src, Certificate** dst)
{
    return const_cast<Certificate*>(src)->cpy(dst);
}

inline int CompareCertificateElement(const Certificate* a, const Certificate* b)
{
    return const_cast<Certificate*>(a)->cmp(b);
}

// Every node holds one reference of its certificate.
template <class N, bool Counted, bool DerSet>
struct CertificateListTraits {
    using Node = N;
    static constexpr bool kCounted = Counted;
    static constexpr bool kDerSet = DerSet;
    static constexpr auto EncodeElement = &codec::EncodeCertificate;
    static constexpr auto DecodeElement = &codec::DecodeCertificate;
    static constexpr auto FreeElement = &ReleaseCertificate;
    static constexpr auto CopyElement = &CopyCertificateElement;
    static constexpr auto CompareElement = &CompareCertificateElement;
};

using SetOfCertificate = lists::List<CertificateListTraits<SET_OF_Certificate, true, true>>;
using SequenceOfCertificate = lists::List<CertificateListTraits<SEQUENCE_OF_Certificate, false, false>>;

inline HRESULT CopyAlgIdElement(const AlgId* src, AlgId** dst)
{
    *dst = CopyAlgId(src);
    return *dst != nullptr ? S_OK : E_OUTOFMEMORY;
}

struct AlgIdListTraits {
    using Node = SEQUENCE_OF_AlgId;
    static constexpr bool kCounted = false;
    static constexpr auto EncodeElement = &codec::EncodeAlgId;
    static constexpr auto DecodeElement = &codec::DecodeAlgId;
    static constexpr auto FreeElement = &FreeAlgId;
    static constexpr auto CopyElement = &CopyAlgIdElement;
    static constexpr auto CompareElement = &CompareAlgId;
};

using SequenceOfAlgId = lists::List<AlgIdListTraits>;

}  // namespace kestrin::qevcrypto::values
