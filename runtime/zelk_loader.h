// Where the crypto library is looked for (the installation root), how a
// deliverable finds its own file, and the path helpers used on the way.
#pragma once

#include <cstddef>

#include "zelk_result.h"

// Path buffers hold at most this many bytes (511 characters and the NUL).
constexpr size_t ZELK_MAX_PATH = 512;

// Installation root: a copy of `root` replaces the previous one (0x8007000E
// when the copy fails; the root is then NULL).
HRESULT ZELK_SetInstallationRoot(const char* root);
const char* ZELK_GetInstallationRoot();
void ZELK_FreeInstallationRoot();

// Loads "lib" + name + ".so" from the root (set to the own directory when
// unset), then from root/../lib. 0 and the handle, or 0x80004005 with *handle NULL.
HRESULT ZELK_LoadLibrary(const char* name, void** handle);
// 0 and *handle cleared, or 0xA0800202 with the handle left (also when there
// is no handle to unload).
HRESULT ZELK_FreeLibrary(void** handle);
void* ZELK_GetProcAddress(void* handle, const char* symbol);

// flags 0 adds the bare file name (the system's own search) as a last attempt.
// path/size, when given, receive the path that was loaded (empty when it does not fit).
void* SecLoadLibrary(const char* name, const char* root, int flags, char* path, size_t size);
HRESULT SecFreeLibrary(void** handle);
void* SecGetProcAddress(void* handle, const char* symbol);

// The canonical absolute path, directory and file name of the image that holds
// this deliverable's runtime; computed once.
const char* ZELK_FindOwnModulePath();
const char* ZELK_FindOwnModuleDir();
const char* ZELK_FindOwnModuleName();

// Completes a name as the dynamic loader reports it: a bare name is searched in
// LD_LIBRARY_PATH (".so" names) or PATH, then taken relative to the working
// directory; then canonicalised. `buffer` holds `size` bytes.
void SecLibraryInitNormalizePath(char* buffer, size_t size, const char* name);

// Path helpers over buffers of ZELK_MAX_PATH bytes.
int PathAppendA(char* path, const char* more);
int PathCchAppendA(char* path, size_t size, const char* more);
void PathRemoveFileSpecA(char* path);
char* PathFindFileNameA(char* path);
int SecPathCanonicalize(char* dest, const char* src);
