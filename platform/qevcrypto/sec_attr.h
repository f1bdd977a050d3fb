// Reading the attribute chain of a call.
#pragma once

#include <cstdint>

#include "qevcrypto.h"

namespace kestrin::qevcrypto {

// The first attribute of that identifier in the chain, or NULL.
inline const SECAttribute* FindAttribute(const SECAttribute* chain, uint32_t id)
{
    for (; chain != nullptr; chain = chain->next)
        if (chain->id == id)
            return chain;
    return nullptr;
}

// A number carried as the attribute's value; `fallback` when absent.
inline uint64_t AttributeNumber(const SECAttribute* chain, uint32_t id, uint64_t fallback)
{
    const SECAttribute* a = FindAttribute(chain, id);
    return a != nullptr ? reinterpret_cast<uintptr_t>(a->value) : fallback;
}

}  // namespace kestrin::qevcrypto
