// The walk of a resource document, apart from finding and reading its file:
//   <Resource><module><id name="key">text</id>...</module></Resource>
// Element names are compared without regard to case; only element nodes count.
#pragma once

#include <functional>

#include "zelk_result.h"

namespace kestrin::resloader {

// Receives the key and the content, as written, of one text; a failure ends
// the walk and is its result.
typedef std::function<HRESULT(const char* key, const char* content)> ResourceTextFn;

// Parses a NUL-terminated resource document through the bound libxml2 table
// and hands every "id" element of the first "module" of the "Resource"
// element to `add`, in document order; an "id" without a name is skipped, one
// without content reads as empty. 0x80004005 when the document does not
// parse, lacks those elements or libxml2 is not bound.
HRESULT ParseResourceDocument(const char* document, const ResourceTextFn& add);

}  // namespace kestrin::resloader
