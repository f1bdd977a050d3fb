// The test program binds the tables as every client deliverable does.
#include "secxml.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_POLICY_CLIENT_BINDING();
ZELK_RESLOADER_CLIENT_BINDING();
SECXML_CLIENT_BINDING();
