// The registry of the objects that this deliverable's start and stop reach:
// table binders, the class-factory cache and singletons created on demand.
#pragma once

#include "zelk_result.h"

class ISingleton {
public:
    virtual HRESULT Initialize() = 0;
    virtual HRESULT Finalize() = 0;
    virtual ~ISingleton() = default;
};

class CSingletons {
public:
    // Pushes a node at the head (the list runs newest first). onDemand: 1 for an
    // object created on demand, 0 for a static member. Safe from any thread.
    static HRESULT Register(ISingleton* object, signed char onDemand);
    // Removes every node of the object without finalising it (for objects that
    // end before the deliverable does).
    static void Unregister(ISingleton* object);
    // Initialize() on every object, oldest first; stops at the first negative result.
    static HRESULT Initialize();
    // Finalize() on the on-demand objects (newest first, then forgotten), then on
    // the static members (newest first, kept for a later start). Returns 0.
    static HRESULT Finalize();
    // Number of registered objects (diagnostics and tests).
    static unsigned int Count();
};

HRESULT ZELK_RegisterSingleton(ISingleton* object, signed char onDemand);
