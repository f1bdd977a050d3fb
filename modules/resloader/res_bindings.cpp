// Bindings of the module, in binding order: the policy store, the hash
// tables of the base module, and libxml2 of the crypto library's "secxml".
#include "res_bindings.h"

#include "secxml.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();

API_COMMON* ZELK_HASHTABLE_TABLE = nullptr;
static CLoadAPI dynload_zelk_hashtable("zelkbase", ZELKBASE_HASHTABLE_API, &ZELK_HASHTABLE_TABLE);

SECXML_CLIENT_BINDING();
