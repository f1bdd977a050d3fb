// This deliverable's binding of the policy store's table "zelk.policy.1".
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();
