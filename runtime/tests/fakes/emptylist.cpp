// A crypto library whose cryptolib_get_f_list hands out no list.
#include "qevcrypto.h"

extern "C" QEV_EXPORT HRESULT cryptolib_get_f_list(unsigned int, void*, SEC_FUNCTION_LIST**, void*, const char*,
                                                   unsigned int)
{
    return S_OK;
}
