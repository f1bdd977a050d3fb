// The session tests bind the policy store and the resource texts as every
// client deliverable does.
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_POLICY_CLIENT_BINDING();
ZELK_RESLOADER_CLIENT_BINDING();
