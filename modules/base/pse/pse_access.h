// CPSE ("PSE"): the process's one security context of provider "zelk" and
// its PSE, made on first request and kept until the module stops.
#pragma once

#include "zelk_base_asc.h"
#include "zelk_holders.h"
#include "zelk_object.h"

namespace kestrin::base {

class CPSE : public IUnknown, public CSingletonFactoryImpl<CPSE>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CPSE)
    ZELK_INTMAP_ENTRY_CLASS(IID_CPSE)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CPSE; }

    CPSE();
    ~CPSE() override;

    // The held objects without a reference added; NULL when the library made none.
    virtual ASC* GetASC() { return m_asc; }
    virtual PSE* GetPSE() { return m_pse; }

private:
    AuxRefPtr<ASC, ASC> m_asc;
    AuxRefPtr<PSE, PSE> m_pse;
};

// The singleton's ASC or PSE with one reference for the caller (slots 1 and 2
// of "zelk.misc.base.asc.1"); 0x80004005 with *out NULL when it holds none.
HRESULT ASC_GetASC(ASC** out);
HRESULT ASC_GetPSE(PSE** out);

}  // namespace kestrin::base
