// Test module "zelktestb": binds a table of the crypto library while it starts.
#define ZELKTEST_MODULE_IMPL
#define ZELKTEST_NAME "zelktestb"
#define ZELKTEST_BIND_MODULE nullptr
#define ZELKTEST_BIND_TABLE "SEC_NOTIFY_1"
#include "test_module.h"
