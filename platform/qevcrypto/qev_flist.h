// The process-wide function list this library hands out.
#pragma once

#include "qevcrypto.h"

SEC_FUNCTION_LIST* qev_function_list();
