// The session test binds the policy store as every client deliverable does.
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();
