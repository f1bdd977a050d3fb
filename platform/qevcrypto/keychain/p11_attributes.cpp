#include "p11_attributes.h"

#include <cstring>

namespace kestrin::qevcrypto::keychain {

P11Value P11Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value)
{
    P11Value v {type, std::vector<uint8_t>(sizeof value)};
    std::memcpy(v.bytes.data(), &value, sizeof value);
    return v;
}

P11Value P11Bool(CK_ATTRIBUTE_TYPE type, bool value)
{
    return P11Value {type, {static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)}};
}

P11Value P11Bytes(CK_ATTRIBUTE_TYPE type, std::span<const uint8_t> bytes)
{
    return P11Value {type, {bytes.begin(), bytes.end()}};
}

P11Value P11Sensitive(CK_ATTRIBUTE_TYPE type)
{
    return P11Value {type, {}, true};
}

HRESULT AnswerTemplate(CK_ATTRIBUTE* attributes, unsigned long count, const std::vector<P11Value>& values)
{
    if ((attributes == nullptr && count > 0) || count > kMaxTemplate)
        return E_INVALIDARG;
    HRESULT result = CKR_OK;
    auto fail = [&](CK_ATTRIBUTE& a, CK_RV rv) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        if (result == CKR_OK)
            result = static_cast<HRESULT>(rv);
    };
    for (unsigned long i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        const P11Value* value = nullptr;
        for (const P11Value& v : values)
            if (v.type == a.type)
                value = &v;
        if (value == nullptr) {
            fail(a, CKR_ATTRIBUTE_TYPE_INVALID);
        } else if (value->sensitive) {
            fail(a, CKR_ATTRIBUTE_SENSITIVE);
        } else if (a.pValue == nullptr) {
            a.ulValueLen = value->bytes.size();
        } else if (a.ulValueLen < value->bytes.size()) {
            fail(a, CKR_BUFFER_TOO_SMALL);
        } else {
            if (!value->bytes.empty())
                std::memcpy(a.pValue, value->bytes.data(), value->bytes.size());
            a.ulValueLen = value->bytes.size();
        }
    }
    return result;
}

}  // namespace kestrin::qevcrypto::keychain
