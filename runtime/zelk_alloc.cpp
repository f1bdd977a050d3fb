#include "zelk_alloc.h"

#include "zelk_module.h"

// Without a function list there is no allocator to call: allocations fail
// (callers check for NULL) and frees do nothing.

void* sec_malloc(size_t size)
{
    return sdk_f_list ? sdk_f_list->malloc(size) : nullptr;
}

void* sec_calloc(size_t count, size_t size)
{
    return sdk_f_list ? sdk_f_list->calloc(count, size) : nullptr;
}

void* sec_realloc(void* pointer, size_t size)
{
    return sdk_f_list ? sdk_f_list->realloc(pointer, size) : nullptr;
}

void sec_free(void* pointer)
{
    if (sdk_f_list && pointer)
        sdk_f_list->free(pointer);
}
