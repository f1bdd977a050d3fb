// The manager test compiles the module's own sources, which bind the policy,
// secxml and base tables; it binds the module's table for the fixture.
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();
