// SET_OF_SecSlotInfo (119) and SET_OF_PIN_Info (83) in "SEC_COMMONTYPES_1".
//
// DER: a slot info is SEQUENCE { [0] slotName, [1] tokenName (EXPLICIT
// UTF8String OPTIONAL), flags INTEGER }; a password-list item is SEQUENCE
// { [0] ... [4] EXPLICIT UTF8String OPTIONAL }, its five texts in order.
#include <cstdlib>

#include "sec_commontypes.h"
#include "types_codec.h"
#include "types_lists.h"
#include "types_table.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {
namespace {

using commontypes::CompareStrings;
using commontypes::CopyString;
using commontypes::FreeString;

// Copies the texts at `src` to `dst`; false when memory runs out.
bool CopyTexts(char* const* src, char** dst, unsigned int count)
{
    for (unsigned int i = 0; i < count; ++i)
        if (src[i] != nullptr && (dst[i] = CopyString(src[i])) == nullptr)
            return false;
    return true;
}

int CompareTexts(const char* const* a, const char* const* b, unsigned int count)
{
    for (unsigned int i = 0; i < count; ++i) {
        const int c = CompareStrings(a[i], b[i]);
        if (c != 0)
            return c;
    }
    return 0;
}

HRESULT EncodeTexts(const char* const* texts, unsigned int count, codec::Out& out)
{
    for (unsigned int i = 0; i < count; ++i) {
        HRESULT hr = codec::WriteOptionalText(out, i, texts[i]);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT DecodeTexts(codec::In& in, char** texts, unsigned int count)
{
    for (unsigned int i = 0; i < count; ++i) {
        HRESULT hr = codec::ReadOptionalText(in, i, &texts[i]);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

// Slot infos.

void FreeSlotInfo(SecSlotInfo* info)
{
    FreeString(info->slotName);
    FreeString(info->tokenName);
    std::free(info);
}

HRESULT CopySlotInfo(const SecSlotInfo* src, SecSlotInfo** dst)
{
    *dst = NewZeroed<SecSlotInfo>();
    if (*dst == nullptr)
        return E_OUTOFMEMORY;
    (*dst)->flags = src->flags;
    if (!CopyTexts(&src->slotName, &(*dst)->slotName, 2)) {
        FreeSlotInfo(*dst);
        *dst = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int CompareSlotInfo(const SecSlotInfo* a, const SecSlotInfo* b)
{
    const int c = CompareTexts(&a->slotName, &b->slotName, 2);
    if (c != 0)
        return c;
    return a->flags < b->flags ? -1 : a->flags > b->flags ? 1 : 0;
}

HRESULT EncodeSlotInfo(const SecSlotInfo* info, codec::Out& out)
{
    const size_t mark = out.size();
    HRESULT hr = EncodeTexts(&info->slotName, 2, out);
    if (FAILED(hr))
        return hr;
    codec::WriteUint32(out, info->flags);
    codec::WrapFrom(out, mark, codec::TAG_SEQUENCE);
    return S_OK;
}

HRESULT DecodeSlotInfo(codec::In& in, SecSlotInfo** value)
{
    *value = nullptr;
    codec::In body(nullptr, 0, 0);
    if (!in.Enter(codec::TAG_SEQUENCE, body))
        return E_INVALIDARG;
    SecSlotInfo* info = NewZeroed<SecSlotInfo>();
    if (info == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = DecodeTexts(body, &info->slotName, 2);
    if (SUCCEEDED(hr) && (!codec::ReadUint32(body, info->flags) || !body.AtEnd()))
        hr = E_INVALIDARG;
    if (FAILED(hr)) {
        FreeSlotInfo(info);
        return hr;
    }
    *value = info;
    return S_OK;
}

struct SlotInfoListTraits {
    using Node = SET_OF_SecSlotInfo;
    static constexpr bool kCounted = false;
    static constexpr auto EncodeElement = &EncodeSlotInfo;
    static constexpr auto DecodeElement = &DecodeSlotInfo;
    static constexpr auto FreeElement = &FreeSlotInfo;
    static constexpr auto CopyElement = &CopySlotInfo;
    static constexpr auto CompareElement = &CompareSlotInfo;
};

// Password-list items: their texts may be secrets and are wiped when freed.

constexpr unsigned int kPinTexts = 5;

void FreePinInfo(PIN_Info* info)
{
    for (char* text : info->item)
        FreeString(text);
    std::free(info);
}

HRESULT CopyPinInfo(const PIN_Info* src, PIN_Info** dst)
{
    *dst = NewZeroed<PIN_Info>();
    if (*dst == nullptr)
        return E_OUTOFMEMORY;
    if (!CopyTexts(src->item, (*dst)->item, kPinTexts)) {
        FreePinInfo(*dst);
        *dst = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int ComparePinInfo(const PIN_Info* a, const PIN_Info* b)
{
    return CompareTexts(a->item, b->item, kPinTexts);
}

HRESULT EncodePinInfo(const PIN_Info* info, codec::Out& out)
{
    const size_t mark = out.size();
    HRESULT hr = EncodeTexts(info->item, kPinTexts, out);
    if (FAILED(hr))
        return hr;
    codec::WrapFrom(out, mark, codec::TAG_SEQUENCE);
    return S_OK;
}

HRESULT DecodePinInfo(codec::In& in, PIN_Info** value)
{
    *value = nullptr;
    codec::In body(nullptr, 0, 0);
    if (!in.Enter(codec::TAG_SEQUENCE, body))
        return E_INVALIDARG;
    PIN_Info* info = NewZeroed<PIN_Info>();
    if (info == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = DecodeTexts(body, info->item, kPinTexts);
    if (SUCCEEDED(hr) && !body.AtEnd())
        hr = E_INVALIDARG;
    if (FAILED(hr)) {
        FreePinInfo(info);
        return hr;
    }
    *value = info;
    return S_OK;
}

struct PinInfoListTraits {
    using Node = SET_OF_PIN_Info;
    static constexpr bool kCounted = false;
    static constexpr auto EncodeElement = &EncodePinInfo;
    static constexpr auto DecodeElement = &DecodePinInfo;
    static constexpr auto FreeElement = &FreePinInfo;
    static constexpr auto CopyElement = &CopyPinInfo;
    static constexpr auto CompareElement = &ComparePinInfo;
};

using SetOfSlotInfo = lists::List<SlotInfoListTraits>;
using SetOfPinInfo = lists::List<PinInfoListTraits>;

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

constexpr char kSetOfSecSlotInfo[] = "SET_OF_SecSlotInfo";
constexpr char kSetOfPinInfo[] = "SET_OF_PIN_Info";

const SEC_TYPE_TABLE s_setOfSlotInfo = SetOfSlotInfo::Table<SEC_TYPE_SET_OF_SecSlotInfo>(&TypeInfo<kSetOfSecSlotInfo>);
const SEC_TYPE_TABLE s_setOfPinInfo = SetOfPinInfo::Table<SEC_TYPE_SET_OF_PIN_Info>(&TypeInfo<kSetOfPinInfo>);

QevSlotFill s_fillSetOfSlotInfo("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_SecSlotInfo,
                                const_cast<SEC_TYPE_TABLE*>(&s_setOfSlotInfo));
QevSlotFill s_fillSetOfPinInfo("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_PIN_Info,
                               const_cast<SEC_TYPE_TABLE*>(&s_setOfPinInfo));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

const Codec kSetOfSecSlotInfoCodec = values::SetOfSlotInfo::kCodec;
const Codec kSetOfPinInfoCodec = values::SetOfPinInfo::kCodec;

}  // namespace kestrin::qevcrypto::codec
