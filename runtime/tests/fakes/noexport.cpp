// A library named like the crypto library that lacks its entry point.
#include "qevcrypto.h"

extern "C" QEV_EXPORT int qev_something_else()
{
    return 0;
}
