// The tables of the crypto library, of "secxml" and of the system's modules
// that the enrolment client uses; a table that cannot be bound fails the
// module's start.
#include "enrol_bindings.h"

#include "secxml.h"
#include "zelk_base_certificate_client.h"
#include "zelk_json.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_POLICY_CLIENT_BINDING();
SECXML_CLIENT_BINDING();

API_COMMON* fptr__asc = nullptr;
static CLoadAPI s_bindAsc(nullptr, "SEC_ASC_1", &fptr__asc);

API_COMMON* fptr__crypt = nullptr;
static CLoadAPI s_bindCrypt(nullptr, SEC_CRYPT_API, &fptr__crypt);

API_COMMON* ZELK_HASHTABLE_TABLE = nullptr;
static CLoadAPI s_bindHashTable("zelkbase", ZELKBASE_HASHTABLE_API, &ZELK_HASHTABLE_TABLE);

API_COMMON* ZELK_BASE_CORE_TABLE = nullptr;
static CLoadAPI s_bindBaseCore("zelkbase", ZELKBASE_CORE_API, &ZELK_BASE_CORE_TABLE);

// The module binds every table it works with at its start, so that a missing
// one fails the start rather than a later call.
API_COMMON* fptr__io = nullptr;
static CLoadAPI s_bindIo(nullptr, "SEC_IO_1", &fptr__io);

API_COMMON* fptr__keyconvert = nullptr;
static CLoadAPI s_bindKeyConvert(nullptr, "SEC_KEYCONVERT_1", &fptr__keyconvert);

API_COMMON* fptr__oldpse = nullptr;
static CLoadAPI s_bindOldPse(nullptr, "SEC_OLDPSE_1", &fptr__oldpse);

// Salts of the embedding containers' password checks.
API_COMMON* fptr__random = nullptr;
static CLoadAPI s_bindRandom(nullptr, SEC_RANDOM_API, &fptr__random);

API_COMMON* ZELK_JSON_TABLE = nullptr;
static CLoadAPI s_bindJson("zelkbase", JSONAPI_NAME, &ZELK_JSON_TABLE);

ZELK_BASE_CERTIFICATE_CLIENT_BINDING();
ZELK_RESLOADER_CLIENT_BINDING();
