// Where the resource files live by default: beside the module's own folder.
#pragma once

#include <string>

namespace kestrin::resloader {

// The default resource folder for a library in `libraryDir`: a folder named
// "lib" or "bin" (any case) gives its parent joined with "etc"; any other
// folder gives the folder joined with "etc" ("/" not doubled, "etc" not
// appended to a folder that already ends with it).
std::string ResourceDirForLibraryDir(const std::string& libraryDir);

}  // namespace kestrin::resloader
