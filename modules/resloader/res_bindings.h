// The tables this module binds at its start, beside the runtime's own.
#pragma once

#include "qevcrypto.h"
#include "zelk_hashtable.h"

// "zelk.misc.base.hashtable.1" of module "zelkbase".
extern API_COMMON* ZELK_HASHTABLE_TABLE;

namespace zelkres {

inline const ZELKBASE_HASHTABLE_TABLE* HashTables()
{
    return ZELK_ApiCast<ZELKBASE_HASHTABLE_TABLE>(ZELK_HASHTABLE_TABLE);
}

}  // namespace zelkres
