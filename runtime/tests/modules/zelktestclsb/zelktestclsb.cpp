// Class-registry test module "zelktestclsb".
#define ZELKTESTCLS_MODULE_IMPL
#define ZELKTESTCLS_NAME "zelktestclsb"
#include "class_test_module.h"
