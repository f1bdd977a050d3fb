// Key paths and value names: splitting, joining and the comparisons that every
// store shares. Names are compared without regard to (ASCII) case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrin::policy {

using KeyPath = std::vector<std::string>;

bool EqualNoCase(std::string_view a, std::string_view b);

// "\" counts as "/"; separators at the start and the end are ignored; an empty
// component between two separators stays and names an entry with the empty name.
KeyPath SplitKeyPath(std::string_view path);

// Components joined with "/"; "/" for the top level.
std::string JoinKeyPath(const KeyPath& path);

// Whether a listener bound to `listener` hears a write to `changed` that
// created `created` dictionaries on its way: the listener's key is the written
// key or one of the `created` keys above it.
bool IsEqualPath(const KeyPath& listener, const KeyPath& changed, size_t created);

}  // namespace kestrin::policy
