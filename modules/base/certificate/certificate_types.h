// The crypto library's type tables that the certificate functions use,
// through the module's binding of "SEC_COMMONTYPES_1".
#pragma once

#include "core/core_bindings.h"
#include "qev_values.h"

namespace kestrin::base {

inline const SEC_TYPE_TABLE* CertificateType()
{
    return CommonType(SEC_TYPE_Certificate);
}

inline const SEC_DNAME_TYPE_TABLE* DNameType()
{
    return static_cast<const SEC_DNAME_TYPE_TABLE*>(CommonType(SEC_TYPE_DName));
}

inline const SEC_OBJID_TYPE_TABLE* ObjIdType()
{
    return static_cast<const SEC_OBJID_TYPE_TABLE*>(CommonType(SEC_TYPE_ObjId));
}

// The certificate's own object; its operations are not const.
inline Certificate* Mutable(const Certificate* cert)
{
    return const_cast<Certificate*>(cert);
}

// The name's text (library allocator) in *text; *text stays NULL when the
// name is missing or cannot be turned into text.
inline void NameText(const DName* name, char** text)
{
    const SEC_DNAME_TYPE_TABLE* names = DNameType();
    if (names != nullptr && name != nullptr)
        names->to_text(name, text);
}

}  // namespace kestrin::base
