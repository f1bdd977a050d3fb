// The resource loader's table the models bind in libzelk, bound here for the
// test program that builds the models in beside the application, which binds
// the policy table itself.
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();
