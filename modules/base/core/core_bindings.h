// Tables of the crypto library that the core helpers call, bound when the
// module starts.
#pragma once

#include "qevcrypto.h"

namespace kestrin::base {

extern API_COMMON* fptr__common_types;
extern API_COMMON* fptr__crypt;
extern API_COMMON* fptr__random;
extern API_COMMON* fptr__encode;
extern API_COMMON* fptr__pkcs12;
// The PKCS#12 type table, fetched from "SEC_PKCS12_1" when it is bound.
extern const API_COMMON* fptr__pkcs12_types;

// The type table of a common type; NULL while unbound.
inline const SEC_TYPE_TABLE* CommonType(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

}  // namespace kestrin::base
