// The tables the models bind in libzelk, bound here for the test programs
// that build the models without the service PSE.
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();
ZELK_POLICY_CLIENT_BINDING();
