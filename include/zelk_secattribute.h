// Reading and changing values of an attribute chain (SECAttribute). A getter
// answers the value of the first entry with the identifier, or a neutral value
// when there is none or its value has another type than the getter reads. A
// setter never adds an entry: it replaces the value of the first entry with
// the identifier by a copy it owns, leaving the entry's value type and
// answered flag as they are.
#pragma once

#include <cstdint>

#include "qev_attributes.h"
#include "qev_records.h"
#include "qev_values.h"
#include "qevcrypto.h"

// The first entry with `id`, NULL when none.
SECAttribute* SECAttributeArray_FindAttribute(SECAttribute* list, uint32_t id);

// 0 when missing.
int32_t SECAttributeArray_GetInteger(SECAttribute* list, uint32_t id);
// NULL when missing.
const char* SECAttributeArray_GetString(SECAttribute* list, uint32_t id);
DName* SECAttributeArray_GetDName(SECAttribute* list, uint32_t id);
SET_OF_DName* SECAttributeArray_GetSET_OF_DName(SECAttribute* list, uint32_t id);
SET_OF_Certificate* SECAttributeArray_GetSET_OF_Certificate(SECAttribute* list, uint32_t id);
AlgId* SECAttributeArray_GetAlgId(SECAttribute* list, uint32_t id);

// 0, 0x80004005 when the chain has no entry with `id` or the copy fails (the
// entry then holds no value).
HRESULT SECAttributeArray_SetInteger(SECAttribute* list, uint32_t id, uint32_t value);
HRESULT SECAttributeArray_SetString(SECAttribute* list, uint32_t id, const char* value);
HRESULT SECAttributeArray_SetOctetString(SECAttribute* list, uint32_t id, const OctetString* value);
HRESULT SECAttributeArray_SetPersonalCertificateInfo(SECAttribute* list, uint32_t id,
                                                     const PersonalCertificateInfo* value);
