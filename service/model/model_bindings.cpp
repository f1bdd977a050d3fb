// The policy store's table as libzelk's models read it.
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();
