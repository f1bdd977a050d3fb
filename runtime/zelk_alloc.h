// The crypto library's allocator (function-list entries 6 to 9). Every buffer
// that crosses a module boundary comes from here and goes back here.
#pragma once

#include <cstddef>

void* sec_malloc(size_t size);
void* sec_calloc(size_t count, size_t size);
void* sec_realloc(void* pointer, size_t size);
void sec_free(void* pointer);
