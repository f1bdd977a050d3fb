// A deliverable's identity as a module, its exported tables, its binders for
// imported tables and the counted start and stop of its runtime.
#pragma once

#include "qevcrypto.h"
#include "zelk_result.h"
#include "zelk_singletons.h"

// This deliverable's copy of the crypto library's function list; NULL until
// adopted from module_init or fetched by ZELK_Initialize.
extern SEC_FUNCTION_LIST* sdk_f_list;

// Every module's one export.
extern "C" QEV_EXPORT HRESULT module_init(SEC_FUNCTION_LIST* list, MODULE_GET_API_FN* getter, void* reserved1,
                                          void* reserved2);

// The getter handed out by module_init: names the module, then answers its table.
HRESULT impl_module_get_API(const char* module, const char* api, API_COMMON** out);

// Counted start and stop of this deliverable's runtime.
HRESULT ZELK_Initialize();
HRESULT ZELK_Finalize();

// Module name: at most 32 characters; NULL/empty changes nothing; a different
// name once one is stored gives 0xA0000200.
HRESULT ZELK_SetModuleName(const char* name);
const char* ZELK_GetModuleName();

// Binding through the function list: module NULL asks for a table of the
// crypto library; results pass through unchanged.
HRESULT ZELK_GetAPI(const char* module, const char* api, API_COMMON** var);
HRESULT ZELK_ReleaseAPI(API_COMMON** var);

// One exported table. Registrations run newest first.
class CZELK_API {
public:
    CZELK_API(const char* module, const char* api, API_COMMON* table);
    virtual ~CZELK_API();
    CZELK_API(const CZELK_API&) = delete;
    CZELK_API& operator=(const CZELK_API&) = delete;

    // Called before the table is handed out; a negative result refuses it.
    virtual HRESULT PrepareAPI();

    // 0xA0000002 without a name or out-argument, 0xA0000200 when no table of
    // that name (case-sensitive) is registered or PrepareAPI refused.
    static HRESULT GetAPI(const char* api, API_COMMON** out);

    const char* m_api;
    API_COMMON* m_table;
    CZELK_API* m_next;

    static CZELK_API* s_first;
};

// Releases a bound table at the registry's stop.
class CUnloadAPI : public ISingleton {
public:
    explicit CUnloadAPI(API_COMMON** var);
    ~CUnloadAPI() override;
    CUnloadAPI(const CUnloadAPI&) = delete;
    CUnloadAPI& operator=(const CUnloadAPI&) = delete;

    HRESULT Initialize() override;
    HRESULT Finalize() override;

    API_COMMON** var;
};

// Binds one imported table at the registry's start (declare one static object
// next to the variable that holds the table).
class CLoadAPI : public CUnloadAPI {
public:
    // The variable is an `API_COMMON*`; callers reach the slots through
    // ZELK_ApiCast<owner's table type>(variable).
    CLoadAPI(const char* module, const char* api, API_COMMON** var);

    // 0 when bound or already bound, else 0x80004005.
    HRESULT Initialize() override;

    const char* module;
    const char* api;
};
