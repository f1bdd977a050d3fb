// The tables this module binds at its start, beside the runtime's own.
#pragma once

#include "qev_io.h"
#include "qevcrypto.h"
#include "zelk_base_core.h"
#include "zelk_hashtable.h"

// "zelk.misc.base.hashtable.1" and "zelk.misc.base.core.1" of module
// "zelkbase"; "SEC_IO_1" of the crypto library.
extern API_COMMON* ZELK_HASHTABLE_TABLE;
extern API_COMMON* ZELK_BASE_CORE_TABLE;
extern API_COMMON* fptr__io;

namespace kestrin::resloader {

inline const ZELKBASE_HASHTABLE_TABLE* HashTables()
{
    return ZELK_ApiCast<ZELKBASE_HASHTABLE_TABLE>(ZELK_HASHTABLE_TABLE);
}

inline const ZELKBASE_CORE_TABLE* BaseCore()
{
    return ZELK_ApiCast<ZELKBASE_CORE_TABLE>(ZELK_BASE_CORE_TABLE);
}

inline const SEC_IO_TABLE* FileIo()
{
    return ZELK_ApiCast<SEC_IO_TABLE>(fptr__io);
}

}  // namespace kestrin::resloader
