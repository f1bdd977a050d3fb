// The process-wide list of default maps and the choice of a map by key path.
#pragma once

#include "zelk_policy.h"

namespace kestrin::policy {

// Wildcard match of map selection: "*" matches one or more characters, "?"
// (and `extra` when not 0) one character; bytes compared with regard to case.
// A NULL text matches everything.
bool String_Match(const char* text, const char* pattern, char extra);

// Adds a map at the head of the list: 0; 1 when it is there already;
// 0x80000003 for a NULL map or pattern.
HRESULT RegisterDefaults(ZELK_PolicyMap* map);

// The newest registered map whose pattern matches the whole path, or NULL.
const ZELK_PolicyMap* FindTemplate(const char* path);

// The first entry of the map named `name` (without regard to case), or NULL.
const ZELK_PolicyDefault* FindDefault(const ZELK_PolicyMap* map, const char* name);

// The head of the list (newest first), for walking it.
const ZELK_PolicyMap* FirstMap();

}  // namespace kestrin::policy
