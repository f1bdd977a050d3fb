// The string type (a NUL-terminated char*, DER UTF8String) and SET_OF_String,
// the counted list of strings, in "SEC_COMMONTYPES_1".
#include <cstdlib>

#include "qev_tables.h"
#include "sec_commontypes.h"
#include "types_codec.h"
#include "types_lists.h"

namespace kestrin::qevcrypto::commontypes {
namespace {

HRESULT StringInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "String", "NUL-terminated string");
}

HRESULT StringFree(void* value)
{
    FreeString(static_cast<char*>(value));
    return S_OK;
}

HRESULT StringCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    *dst = CopyString(static_cast<const char*>(src));
    return *dst ? S_OK : E_OUTOFMEMORY;
}

int StringCompare(const void* a, const void* b)
{
    return CompareStrings(static_cast<const char*>(a), static_cast<const char*>(b));
}

HRESULT EncodeStringValue(const void* value, codec::Out& out)
{
    return codec::WriteText(out, static_cast<const char*>(value));
}

HRESULT DecodeStringValue(codec::In& in, void** value)
{
    char* text = nullptr;
    HRESULT hr = codec::ReadText(in, &text);
    *value = text;
    return hr;
}

void FreeStringValue(void* value)
{
    FreeString(static_cast<char*>(value));
}

HRESULT SetOfStringInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SET_OF_String", "list of strings");
}

HRESULT CopyStringElement(const char* src, char** dst)
{
    *dst = CopyString(src);
    return *dst != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT EncodeStringElement(const char* text, codec::Out& out)
{
    return codec::WriteText(out, text);
}

struct StringListTraits {
    using Node = SET_OF_String;
    static constexpr bool kCounted = true;
    static constexpr auto EncodeElement = &EncodeStringElement;
    static constexpr auto DecodeElement = &codec::ReadText;
    static constexpr auto FreeElement = &FreeString;
    static constexpr auto CopyElement = &CopyStringElement;
    static constexpr auto CompareElement = &CompareStrings;
};

using SetOfString = lists::List<StringListTraits>;

const SEC_TYPE_TABLE s_string = {
    {&StringInfo},
    &NoAddRef,
    &StringFree,
    nullptr,
    &StringCopy,
    &StringCompare,
    nullptr,
    &NoNew,
    &codec::DecodeEntry<SEC_TYPE_String>,
    &codec::EncodeEntry<SEC_TYPE_String>,
};

const SEC_TYPE_TABLE s_setOfString = SetOfString::Table<SEC_TYPE_SET_OF_String>(&SetOfStringInfo);

QevSlotFill s_fillString("SEC_COMMONTYPES_1", SEC_TYPE_String, const_cast<SEC_TYPE_TABLE*>(&s_string));
QevSlotFill s_fillSetOfString("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_String, const_cast<SEC_TYPE_TABLE*>(&s_setOfString));

}  // namespace
}  // namespace kestrin::qevcrypto::commontypes

namespace kestrin::qevcrypto::codec {

const Codec kStringCodec {&commontypes::EncodeStringValue, &commontypes::DecodeStringValue,
                          &commontypes::FreeStringValue};
const Codec kSetOfStringCodec = commontypes::SetOfString::kCodec;

}  // namespace kestrin::qevcrypto::codec
