// IssuerAndSerial (36), PersonalCertificateInfo (52, counted) and
// SET_OF_PersonalCertificateInfo (84) in "SEC_COMMONTYPES_1".
//
// DER: IssuerAndSerial is X.509's IssuerAndSerialNumber; a personal
// certificate info is a SEQUENCE of its members in record order, each as
// [0] ... [10] EXPLICIT and OPTIONAL (absent when NULL): six UTF8Strings, the
// certificate, the issuer and serial, the path (SEQUENCE OF Certificate), the
// path's end and the signature algorithms (SEQUENCE OF AlgorithmIdentifier).
#include <atomic>
#include <cstdlib>

#include "sec_commontypes.h"
#include "types_codec.h"
#include "types_dname.h"
#include "types_table.h"
#include "types_value_lists.h"

namespace kestrin::qevcrypto::values {
namespace {

using codec::Explicit;
using commontypes::CompareStrings;
using commontypes::CopyString;
using commontypes::FreeString;

// A serial number's content octets in the shortest two's-complement form.
bool IsSerial(const uint8_t* p, size_t n)
{
    if (n == 0 || p == nullptr)
        return false;
    return n == 1 || !((p[0] == 0x00 && !(p[1] & 0x80)) || (p[0] == 0xFF && (p[1] & 0x80)));
}

void FreeIssuerAndSerial(IssuerAndSerial* value)
{
    if (value == nullptr)
        return;
    FreeDName(value->issuer);
    FreeOctets(value->serial);
    std::free(value);
}

IssuerAndSerial* CopyIssuerAndSerial(const IssuerAndSerial* value)
{
    IssuerAndSerial* copy = NewZeroed<IssuerAndSerial>();
    if (copy == nullptr)
        return nullptr;
    if ((value->issuer != nullptr && (copy->issuer = CopyDName(value->issuer)) == nullptr)
        || (value->serial != nullptr && (copy->serial = CopyOctets(value->serial)) == nullptr)) {
        FreeIssuerAndSerial(copy);
        return nullptr;
    }
    return copy;
}

int CompareIssuerAndSerial(const IssuerAndSerial* a, const IssuerAndSerial* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    const int c = CompareDName(a->issuer, b->issuer);
    return c != 0 ? c : CompareOctets(a->serial, b->serial);
}

std::atomic_ref<uint32_t> References(PersonalCertificateInfo* info)
{
    return std::atomic_ref<uint32_t>(info->references);
}

PersonalCertificateInfo* NewInfo()
{
    PersonalCertificateInfo* info = NewZeroed<PersonalCertificateInfo>();
    if (info != nullptr)
        info->references = 1;
    return info;
}

char** Texts(PersonalCertificateInfo* info)
{
    return &info->tokenName;
}

const char* const* Texts(const PersonalCertificateInfo* info)
{
    return &info->tokenName;
}

constexpr unsigned int kTexts = 6;

// Drops one reference; the last frees the record and what it holds.
void DropInfo(PersonalCertificateInfo* info)
{
    if (info == nullptr || References(info).fetch_sub(1, std::memory_order_acq_rel) > 1)
        return;
    for (unsigned int i = 0; i < kTexts; ++i)
        FreeString(Texts(info)[i]);
    if (info->certificate != nullptr)
        info->certificate->Release();
    FreeIssuerAndSerial(info->issuerAndSerial);
    SequenceOfCertificate::Drop(info->path);
    if (info->pathEnd != nullptr)
        info->pathEnd->Release();
    SequenceOfAlgId::Drop(info->sigAlgs);
    std::free(info);
}

HRESULT AddRefInfo(void* value)
{
    if (value == nullptr)
        return E_POINTER;
    References(static_cast<PersonalCertificateInfo*>(value)).fetch_add(1, std::memory_order_relaxed);
    return S_OK;
}

HRESULT FreeInfoEntry(void* value)
{
    DropInfo(static_cast<PersonalCertificateInfo*>(value));
    return S_OK;
}

HRESULT CopyCertificate(Certificate* src, Certificate** dst)
{
    return src != nullptr ? src->cpy(dst) : S_OK;
}

// A new record with copies of every member (certificates shared).
HRESULT CopyInfo(const PersonalCertificateInfo* src, PersonalCertificateInfo** dst)
{
    *dst = nullptr;
    PersonalCertificateInfo* copy = NewInfo();
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    for (unsigned int i = 0; i < kTexts && SUCCEEDED(hr); ++i)
        if (Texts(src)[i] != nullptr && (Texts(copy)[i] = CopyString(Texts(src)[i])) == nullptr)
            hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr))
        hr = CopyCertificate(src->certificate, &copy->certificate);
    if (SUCCEEDED(hr) && src->issuerAndSerial != nullptr
        && (copy->issuerAndSerial = CopyIssuerAndSerial(src->issuerAndSerial)) == nullptr)
        hr = E_OUTOFMEMORY;
    void* list = nullptr;
    if (SUCCEEDED(hr)) {
        hr = SequenceOfCertificate::CopyEntry(src->path, &list);
        copy->path = static_cast<SEQUENCE_OF_Certificate*>(list);
    }
    if (SUCCEEDED(hr))
        hr = CopyCertificate(src->pathEnd, &copy->pathEnd);
    if (SUCCEEDED(hr)) {
        hr = SequenceOfAlgId::CopyEntry(src->sigAlgs, &list);
        copy->sigAlgs = static_cast<SEQUENCE_OF_AlgId*>(list);
    }
    if (FAILED(hr)) {
        DropInfo(copy);
        return hr;
    }
    *dst = copy;
    return S_OK;
}

HRESULT CopyInfoEntry(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    PersonalCertificateInfo* copy = nullptr;
    HRESULT hr = CopyInfo(static_cast<const PersonalCertificateInfo*>(src), &copy);
    *dst = copy;
    return hr;
}

int CompareCertificates(Certificate* a, const Certificate* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    return a->cmp(b);
}

int CompareInfo(const PersonalCertificateInfo* a, const PersonalCertificateInfo* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    int c = 0;
    for (unsigned int i = 0; i < kTexts && c == 0; ++i)
        c = CompareStrings(Texts(a)[i], Texts(b)[i]);
    if (c == 0)
        c = CompareCertificates(a->certificate, b->certificate);
    if (c == 0)
        c = CompareIssuerAndSerial(a->issuerAndSerial, b->issuerAndSerial);
    if (c == 0)
        c = SequenceOfCertificate::CompareEntry(a->path, b->path);
    if (c == 0)
        c = CompareCertificates(a->pathEnd, b->pathEnd);
    if (c == 0)
        c = SequenceOfAlgId::CompareEntry(a->sigAlgs, b->sigAlgs);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

HRESULT NewInfoEntry(void** cursor)
{
    if (cursor == nullptr)
        return E_POINTER;
    PersonalCertificateInfo* info = NewInfo();
    if (info == nullptr)
        return E_OUTOFMEMORY;
    *cursor = info;
    return S_OK;
}

// Writes `encode`'s element inside [n] EXPLICIT.
template <class F>
HRESULT WriteExplicit(codec::Out& out, unsigned int n, F encode)
{
    const size_t mark = out.size();
    HRESULT hr = encode();
    if (SUCCEEDED(hr))
        codec::WrapFrom(out, mark, Explicit(n));
    return hr;
}

// Reads [n] EXPLICIT with `decode` when it is the next element.
template <class F>
HRESULT ReadExplicit(codec::In& in, unsigned int n, F decode)
{
    if (!codec::NextIs(in, Explicit(n)))
        return S_OK;
    codec::In field(nullptr, 0, 0);
    if (!in.Enter(Explicit(n), field))
        return E_INVALIDARG;
    HRESULT hr = decode(field);
    return SUCCEEDED(hr) && !field.AtEnd() ? E_INVALIDARG : hr;
}

HRESULT EncodeInfo(const PersonalCertificateInfo* info, codec::Out& out)
{
    const size_t mark = out.size();
    HRESULT hr = S_OK;
    for (unsigned int i = 0; i < kTexts && SUCCEEDED(hr); ++i)
        hr = codec::WriteOptionalText(out, i, Texts(info)[i]);
    if (SUCCEEDED(hr) && info->certificate != nullptr)
        hr = WriteExplicit(out, 6, [&] { return codec::EncodeCertificate(info->certificate, out); });
    if (SUCCEEDED(hr) && info->issuerAndSerial != nullptr)
        hr = WriteExplicit(out, 7, [&] { return codec::EncodeIssuerAndSerial(info->issuerAndSerial, out); });
    if (SUCCEEDED(hr) && info->path != nullptr)
        hr = WriteExplicit(out, 8, [&] { return SequenceOfCertificate::Encode(info->path, out); });
    if (SUCCEEDED(hr) && info->pathEnd != nullptr)
        hr = WriteExplicit(out, 9, [&] { return codec::EncodeCertificate(info->pathEnd, out); });
    if (SUCCEEDED(hr) && info->sigAlgs != nullptr)
        hr = WriteExplicit(out, 10, [&] { return SequenceOfAlgId::Encode(info->sigAlgs, out); });
    if (FAILED(hr))
        return hr;
    codec::WrapFrom(out, mark, codec::TAG_SEQUENCE);
    return S_OK;
}

HRESULT DecodeInfo(codec::In& in, PersonalCertificateInfo** value)
{
    *value = nullptr;
    codec::In body(nullptr, 0, 0);
    if (!in.Enter(codec::TAG_SEQUENCE, body))
        return E_INVALIDARG;
    PersonalCertificateInfo* info = NewInfo();
    if (info == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    for (unsigned int i = 0; i < kTexts && SUCCEEDED(hr); ++i)
        hr = codec::ReadOptionalText(body, i, &Texts(info)[i]);
    if (SUCCEEDED(hr))
        hr = ReadExplicit(body, 6, [&](codec::In& f) { return codec::DecodeCertificate(f, &info->certificate); });
    if (SUCCEEDED(hr))
        hr = ReadExplicit(body, 7,
                          [&](codec::In& f) { return codec::DecodeIssuerAndSerial(f, &info->issuerAndSerial); });
    if (SUCCEEDED(hr))
        hr = ReadExplicit(body, 8, [&](codec::In& f) {
            void* list = nullptr;
            HRESULT r = SequenceOfCertificate::Decode(f, &list);
            info->path = static_cast<SEQUENCE_OF_Certificate*>(list);
            return r;
        });
    if (SUCCEEDED(hr))
        hr = ReadExplicit(body, 9, [&](codec::In& f) { return codec::DecodeCertificate(f, &info->pathEnd); });
    if (SUCCEEDED(hr))
        hr = ReadExplicit(body, 10, [&](codec::In& f) {
            void* list = nullptr;
            HRESULT r = SequenceOfAlgId::Decode(f, &list);
            info->sigAlgs = static_cast<SEQUENCE_OF_AlgId*>(list);
            return r;
        });
    // Members out of order, twice or unknown.
    if (SUCCEEDED(hr) && !body.AtEnd())
        hr = E_INVALIDARG;
    if (FAILED(hr)) {
        DropInfo(info);
        return hr;
    }
    *value = info;
    return S_OK;
}

HRESULT EncodeInfoValue(const void* value, codec::Out& out)
{
    return EncodeInfo(static_cast<const PersonalCertificateInfo*>(value), out);
}

HRESULT DecodeInfoValue(codec::In& in, void** value)
{
    PersonalCertificateInfo* info = nullptr;
    HRESULT hr = DecodeInfo(in, &info);
    *value = info;
    return hr;
}

void FreeInfoValue(void* value)
{
    DropInfo(static_cast<PersonalCertificateInfo*>(value));
}

HRESULT EncodeIssuerAndSerialValue(const void* value, codec::Out& out)
{
    return codec::EncodeIssuerAndSerial(static_cast<const IssuerAndSerial*>(value), out);
}

HRESULT DecodeIssuerAndSerialValue(codec::In& in, void** value)
{
    IssuerAndSerial* v = nullptr;
    HRESULT hr = codec::DecodeIssuerAndSerial(in, &v);
    *value = v;
    return hr;
}

void FreeIssuerAndSerialValue(void* value)
{
    FreeIssuerAndSerial(static_cast<IssuerAndSerial*>(value));
}

// A list shares its elements: a copy of the list adds a reference to each.
HRESULT ShareInfo(const PersonalCertificateInfo* src, PersonalCertificateInfo** dst)
{
    auto* info = const_cast<PersonalCertificateInfo*>(src);
    AddRefInfo(info);
    *dst = info;
    return S_OK;
}

struct InfoListTraits {
    using Node = SET_OF_PersonalCertificateInfo;
    static constexpr bool kCounted = false;
    static constexpr auto EncodeElement = &EncodeInfo;
    static constexpr auto DecodeElement = &DecodeInfo;
    static constexpr auto FreeElement = &DropInfo;
    static constexpr auto CopyElement = &ShareInfo;
    static constexpr auto CompareElement = &CompareInfo;
};

using SetOfInfo = lists::List<InfoListTraits>;

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

constexpr char kIssuerAndSerial[] = "IssuerAndSerial";
constexpr char kPersonalCertificateInfo[] = "PersonalCertificateInfo";
constexpr char kSetOfPersonalCertificateInfo[] = "SET_OF_PersonalCertificateInfo";

const SEC_TYPE_TABLE s_issuerAndSerial = {{&TypeInfo<kIssuerAndSerial>},
                                          &NoAddRef,
                                          &FreeEntry<IssuerAndSerial, FreeIssuerAndSerial>,
                                          nullptr,
                                          &CopyEntry<IssuerAndSerial, CopyIssuerAndSerial>,
                                          &CompareEntry<IssuerAndSerial, CompareIssuerAndSerial>,
                                          nullptr,
                                          &NewEntry<IssuerAndSerial, false>,
                                          &codec::DecodeEntry<SEC_TYPE_IssuerAndSerial>,
                                          &codec::EncodeEntry<SEC_TYPE_IssuerAndSerial>};

const SEC_TYPE_TABLE s_info = {{&TypeInfo<kPersonalCertificateInfo>},
                               &AddRefInfo,
                               &FreeInfoEntry,
                               nullptr,
                               &CopyInfoEntry,
                               &CompareEntry<PersonalCertificateInfo, CompareInfo>,
                               nullptr,
                               &NewInfoEntry,
                               &codec::DecodeEntry<SEC_TYPE_PersonalCertificateInfo>,
                               &codec::EncodeEntry<SEC_TYPE_PersonalCertificateInfo>};

const SEC_TYPE_TABLE s_setOfInfo =
    SetOfInfo::Table<SEC_TYPE_SET_OF_PersonalCertificateInfo>(&TypeInfo<kSetOfPersonalCertificateInfo>);

QevSlotFill s_fillIssuerAndSerial("SEC_COMMONTYPES_1", SEC_TYPE_IssuerAndSerial,
                                  const_cast<SEC_TYPE_TABLE*>(&s_issuerAndSerial));
QevSlotFill s_fillInfo("SEC_COMMONTYPES_1", SEC_TYPE_PersonalCertificateInfo, const_cast<SEC_TYPE_TABLE*>(&s_info));
QevSlotFill s_fillSetOfInfo("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_PersonalCertificateInfo,
                            const_cast<SEC_TYPE_TABLE*>(&s_setOfInfo));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

HRESULT EncodeIssuerAndSerial(const IssuerAndSerial* value, Out& out)
{
    if (value->issuer == nullptr || value->serial == nullptr
        || !values::IsSerial(value->serial->data, static_cast<size_t>(value->serial->length)))
        return E_INVALIDARG;
    const size_t mark = out.size();
    HRESULT hr = EncodeDName(value->issuer, out);
    if (FAILED(hr))
        return hr;
    Tlv(out, TAG_INTEGER, value->serial->data, static_cast<size_t>(value->serial->length));
    WrapFrom(out, mark, TAG_SEQUENCE);
    return S_OK;
}

HRESULT DecodeIssuerAndSerial(In& in, IssuerAndSerial** value)
{
    *value = nullptr;
    In body(nullptr, 0, 0);
    if (!in.Enter(TAG_SEQUENCE, body))
        return E_INVALIDARG;
    DName* issuer = nullptr;
    HRESULT hr = DecodeDName(body, &issuer);
    if (FAILED(hr))
        return hr;
    const uint8_t* serial = nullptr;
    size_t length = 0;
    if (!body.Next(TAG_INTEGER, serial, length) || !values::IsSerial(serial, length) || !body.AtEnd()) {
        values::FreeDName(issuer);
        return E_INVALIDARG;
    }
    IssuerAndSerial* v = values::NewZeroed<IssuerAndSerial>();
    if (v == nullptr || (v->serial = values::NewOctets(serial, length)) == nullptr) {
        std::free(v);
        values::FreeDName(issuer);
        return E_OUTOFMEMORY;
    }
    v->issuer = issuer;
    *value = v;
    return S_OK;
}

const Codec kIssuerAndSerialCodec {&values::EncodeIssuerAndSerialValue, &values::DecodeIssuerAndSerialValue,
                                   &values::FreeIssuerAndSerialValue};
const Codec kPersonalCertificateInfoCodec {&values::EncodeInfoValue, &values::DecodeInfoValue, &values::FreeInfoValue};
const Codec kSetOfPersonalCertificateInfoCodec = values::SetOfInfo::kCodec;

}  // namespace kestrin::qevcrypto::codec
