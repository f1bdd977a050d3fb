// The crypto library's value types that travel as DER (an octet string
// holding the value's encoding), each with its index in "SEC_COMMONTYPES_1".
#pragma once

#include "qev_records.h"
#include "qev_values.h"
#include "qevcrypto.h"

namespace ZELK::PSESVC {

template <class T>
struct WireType;

#define ZELK_WIRE_TYPE(type, index)                                                                                    \
    template <>                                                                                                        \
    struct WireType<type> {                                                                                            \
        static constexpr unsigned int value = index;                                                                   \
    }

ZELK_WIRE_TYPE(OctetString, SEC_TYPE_OctetString);
ZELK_WIRE_TYPE(SECAttribute, SEC_TYPE_SECAttribute);
ZELK_WIRE_TYPE(Certificate, SEC_TYPE_Certificate);
ZELK_WIRE_TYPE(DName, SEC_TYPE_DName);
ZELK_WIRE_TYPE(PersonalCertificateInfo, SEC_TYPE_PersonalCertificateInfo);
ZELK_WIRE_TYPE(SET_OF_Certificate, SEC_TYPE_SET_OF_Certificate);
ZELK_WIRE_TYPE(SET_OF_PersonalCertificateInfo, SEC_TYPE_SET_OF_PersonalCertificateInfo);
ZELK_WIRE_TYPE(SET_OF_String, SEC_TYPE_SET_OF_String);
ZELK_WIRE_TYPE(SET_OF_SecSlotInfo, SEC_TYPE_SET_OF_SecSlotInfo);
ZELK_WIRE_TYPE(SET_OF_PIN_Info, SEC_TYPE_SET_OF_PIN_Info);
ZELK_WIRE_TYPE(AlgId, SEC_TYPE_AlgId);
ZELK_WIRE_TYPE(KeyInfo, SEC_TYPE_KeyInfo);
ZELK_WIRE_TYPE(SEQUENCE_OF_AlgId, SEC_TYPE_SEQUENCE_OF_AlgId);
ZELK_WIRE_TYPE(SEQUENCE_OF_Certificate, SEC_TYPE_SEQUENCE_OF_Certificate);

#undef ZELK_WIRE_TYPE

// The type table of an index; NULL while the library's types are not bound.
const SEC_TYPE_TABLE* WireTypeTable(unsigned int index);

// Frees a value through its type (nothing for NULL) and clears the pointer.
template <class T>
void WireFree(T** value)
{
    if (value == nullptr || *value == nullptr)
        return;
    const SEC_TYPE_TABLE* table = WireTypeTable(WireType<T>::value);
    if (table != nullptr && table->free != nullptr)
        table->free(const_cast<void*>(static_cast<const void*>(*value)));
    *value = nullptr;
}

// Owns one decoded or returned value until the scope ends.
template <class T>
class WireValue {
public:
    WireValue() = default;
    ~WireValue() { WireFree(&m_p); }
    WireValue(const WireValue&) = delete;
    WireValue& operator=(const WireValue&) = delete;

    T** operator&() { return &m_p; }
    operator T*() const { return m_p; }
    T* get() const { return m_p; }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

}  // namespace ZELK::PSESVC
