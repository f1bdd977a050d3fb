// Class-registry test module "zelktestclsa".
#define ZELKTESTCLS_MODULE_IMPL
#define ZELKTESTCLS_NAME "zelktestclsa"
#include "class_test_module.h"
