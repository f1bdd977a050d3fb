// The PKCS#12 type table handed out by slot 1 of "SEC_PKCS12_1".
#pragma once

#include "qev_pkcs12.h"

namespace kestrin::qevcrypto::values {

const API_COMMON* Pkcs12Types();
void FreeP12Bag(P12_Bag* bag);
void FreeP12BagList(SET_OF_P12_Bag* list);

}  // namespace kestrin::qevcrypto::values
