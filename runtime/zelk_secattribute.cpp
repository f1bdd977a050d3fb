#include "zelk_secattribute.h"

#include "zelk_alloc.h"
#include "zelk_holders.h"

namespace {

// The entry's value when it is of type `index`. An entry without a type table
// takes its type from its identifier.
void* TypedValue(SECAttribute* list, uint32_t id, unsigned int index)
{
    SECAttribute* entry = SECAttributeArray_FindAttribute(list, id);
    if (entry == nullptr || entry->value == nullptr)
        return nullptr;
    if (entry->type != nullptr) {
        if (entry->type != SEC_TypeTable(fptr__common_types, index))
            return nullptr;
    } else if (SEC_AttributeValueType(id) != 0 && SEC_AttributeValueType(id) != index) {
        return nullptr;
    }
    return entry->value;
}

// Frees the value the entry owns (with `freeFn`, or the function list's free
// when NULL) and clears it.
void DropValue(SECAttribute* entry, const SEC_TYPE_TABLE* table)
{
    if (entry->owned && entry->value != nullptr) {
        if (table != nullptr && table->free != nullptr)
            table->free(entry->value);
        else
            sec_free(entry->value);
    }
    entry->value = nullptr;
    entry->owned = 0;
}

// Replaces the value by a copy made with the type table `index`.
HRESULT SetCopy(SECAttribute* list, uint32_t id, const void* value, unsigned int index, bool freeWithTable)
{
    SECAttribute* entry = SECAttributeArray_FindAttribute(list, id);
    if (entry == nullptr)
        return E_FAIL;
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, index);
    DropValue(entry, freeWithTable ? table : nullptr);
    if (value == nullptr)
        return S_OK;
    if (table == nullptr || table->copy == nullptr)
        return E_FAIL;
    void* copy = nullptr;
    if (FAILED(table->copy(value, &copy)) || copy == nullptr)
        return E_FAIL;
    entry->value = copy;
    entry->owned = 1;
    return S_OK;
}

}  // namespace

SECAttribute* SECAttributeArray_FindAttribute(SECAttribute* list, uint32_t id)
{
    for (SECAttribute* entry = list; entry != nullptr; entry = entry->next)
        if (entry->id == id)
            return entry;
    return nullptr;
}

int32_t SECAttributeArray_GetInteger(SECAttribute* list, uint32_t id)
{
    const void* value = TypedValue(list, id, SEC_TYPE_int);
    return value ? *static_cast<const int32_t*>(value) : 0;
}

const char* SECAttributeArray_GetString(SECAttribute* list, uint32_t id)
{
    return static_cast<const char*>(TypedValue(list, id, SEC_TYPE_String));
}

DName* SECAttributeArray_GetDName(SECAttribute* list, uint32_t id)
{
    return static_cast<DName*>(TypedValue(list, id, SEC_TYPE_DName));
}

SET_OF_DName* SECAttributeArray_GetSET_OF_DName(SECAttribute* list, uint32_t id)
{
    return static_cast<SET_OF_DName*>(TypedValue(list, id, SEC_TYPE_SET_OF_DName));
}

SET_OF_Certificate* SECAttributeArray_GetSET_OF_Certificate(SECAttribute* list, uint32_t id)
{
    return static_cast<SET_OF_Certificate*>(TypedValue(list, id, SEC_TYPE_SET_OF_Certificate));
}

AlgId* SECAttributeArray_GetAlgId(SECAttribute* list, uint32_t id)
{
    return static_cast<AlgId*>(TypedValue(list, id, SEC_TYPE_AlgId));
}

HRESULT SECAttributeArray_SetInteger(SECAttribute* list, uint32_t id, uint32_t value)
{
    SECAttribute* entry = SECAttributeArray_FindAttribute(list, id);
    if (entry == nullptr)
        return E_FAIL;
    DropValue(entry, nullptr);
    auto* copy = static_cast<uint32_t*>(sec_malloc(sizeof(uint32_t)));
    if (copy == nullptr)
        return E_FAIL;
    *copy = value;
    entry->value = copy;
    entry->owned = 1;
    return S_OK;
}

HRESULT SECAttributeArray_SetString(SECAttribute* list, uint32_t id, const char* value)
{
    return SetCopy(list, id, value, SEC_TYPE_String, false);
}

HRESULT SECAttributeArray_SetOctetString(SECAttribute* list, uint32_t id, const OctetString* value)
{
    return SetCopy(list, id, value, SEC_TYPE_OctetString, true);
}

HRESULT SECAttributeArray_SetPersonalCertificateInfo(SECAttribute* list, uint32_t id,
                                                     const PersonalCertificateInfo* value)
{
    return SetCopy(list, id, value, SEC_TYPE_PersonalCertificateInfo, true);
}
