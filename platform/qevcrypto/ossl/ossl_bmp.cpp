#include "ossl_bmp.h"

namespace kestrin::qevcrypto::ossl {

Bytes Latin1ToBmp(std::string_view text)
{
    Bytes out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

}  // namespace kestrin::qevcrypto::ossl
