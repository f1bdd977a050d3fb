#include "zelk_holders.h"

#include "zelk_module.h"

// The per-type tables every holder frees and copies through.
API_COMMON* fptr__common_types = nullptr;

namespace {

CLoadAPI OnDemand_Load_SEC_COMMON_TYPES(nullptr, "SEC_COMMONTYPES_1", &fptr__common_types);

}  // namespace
