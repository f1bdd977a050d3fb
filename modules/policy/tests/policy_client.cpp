// The test program binds the policy table as every client deliverable does.
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();
