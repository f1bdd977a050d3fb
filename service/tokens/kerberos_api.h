// Whether the crypto library offers Kerberos ("SEC_KERBEROS_1"): looked up
// once per process; the bound table serves every ticket and SPNEGO request.
#pragma once

#include "qev_kerberos.h"
#include "zelk_object.h"

ZELK_DEFINE_GUID(IID_CKerberosAPI, 0x6A1F2C90, 0x3B7D, 0x4E55, 0x9C, 0x18, 0x02, 0xE4, 0x7B, 0xD1, 0x36, 0xA8);

namespace ZELK::PSESVC {

class CKerberosAPI : public IUnknown, public CSingletonFactoryImpl<CKerberosAPI>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CKerberosAPI)
    ZELK_INTMAP_ENTRY_CLASS(IID_IUnknown)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CKerberosAPI; }

    // Makes the singleton on the first call; whether the table is there.
    static bool IsAPIAvailable();
    // Binds the table on the first call; 0x80000001 without it, else the
    // singleton queried for `iid`.
    static HRESULT New(const GUID& iid, void** out);
    // Releases the table and the singleton; a later call looks again.
    HRESULT Finalize() override;

    // The bound table, NULL without it.
    static const SEC_KERBEROS_TABLE* Table();

    static inline bool s_bChecked = false;
    static inline bool s_bIsAPIAvailable = false;
    static inline API_COMMON* fptr__kerberos = nullptr;
};

}  // namespace ZELK::PSESVC
