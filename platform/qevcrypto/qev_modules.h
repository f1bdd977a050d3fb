// The library's module loader: "lib" + name + ".so" from the library's own
// folder, loaded once, started through its module_init.
#pragma once

#include "qevcrypto.h"

// Table lookup of a module (function-list entry 2 with a module name). Loads
// and starts the module on its first use, then asks its getter.
HRESULT qev_module_get_api(const char* module, const char* api, API_COMMON** var);

// Unloads every module, newest first (when the last user releases the list).
// A module that a security context still uses stays loaded: its objects are
// still alive.
void qev_unload_modules();

// A security context's use of a loaded module: held once per context that
// keeps one of the module's objects, dropped when the context ends. Drops
// never take the count below zero.
void qev_module_hold(const char* module);
void qev_module_drop(const char* module);

// The folder that holds this library (canonical), "" when unknown.
const char* qev_own_dir();
