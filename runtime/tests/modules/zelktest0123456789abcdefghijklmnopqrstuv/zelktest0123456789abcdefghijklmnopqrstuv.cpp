// Test module with a 40-character name: the name it is loaded by is kept cut
// to 32 characters.
#define ZELKTEST_MODULE_IMPL
#define ZELKTEST_NAME "zelktest0123456789abcdefghijklmnopqrstuv"
#define ZELKTEST_BIND_MODULE nullptr
#define ZELKTEST_BIND_TABLE "SEC_ASC_1"
#include "test_module.h"
