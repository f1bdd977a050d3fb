// Creation helpers of the service: the typed creation by module and class
// name, and the creation of a singleton that the module's registry keeps.
#pragma once

#include "zelk_class.h"

// Passes the interface's own identifier.
template <class I>
HRESULT ZELK_CreateObject(const char* module, const char* className, I** out)
{
    return ZELK_CreateObject(module, className, I::GetIID(), reinterpret_cast<void**>(out));
}

// Creates the class and drops the reference at once: the singleton registry
// keeps the object (and creating it started it). The creation's result.
HRESULT ZELK_CreateSingleton(const char* module, const char* className);
