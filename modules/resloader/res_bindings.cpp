// Bindings of the module, in binding order: the policy store, the hash
// tables and core helpers of the base module, the crypto library's file
// reader, and libxml2 of the crypto library's "secxml".
#include "res_bindings.h"

#include "secxml.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();

API_COMMON* ZELK_HASHTABLE_TABLE = nullptr;
static CLoadAPI dynload_zelk_hashtable("zelkbase", ZELKBASE_HASHTABLE_API, &ZELK_HASHTABLE_TABLE);

API_COMMON* ZELK_BASE_CORE_TABLE = nullptr;
static CLoadAPI dynload_zelk_base_core("zelkbase", ZELKBASE_CORE_API, &ZELK_BASE_CORE_TABLE);

API_COMMON* fptr__io = nullptr;
static CLoadAPI OnDemand_Load_SEC_IO(nullptr, SEC_IO_API, &fptr__io);

SECXML_CLIENT_BINDING();
