// The provider table "SEC_PSE_1" of module "zelk".
#pragma once

#include "qev_pse.h"

namespace ZELK::PSESVC {

extern SEC_PSE_TABLE ZELKPSE_FUNCTIONS_var;

}  // namespace ZELK::PSESVC
