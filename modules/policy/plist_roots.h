// The two preference files of the process: the administrator's (system) and
// the user's. Each root is made on first request and held until this
// deliverable stops; policy objects keep the root they were made with.
#pragma once

#include <memory>

#include "plist_root.h"

namespace kestrin::policy {

// NULL when the root cannot be made (out of memory).
std::shared_ptr<PlistRoot> SystemPlistRoot();
std::shared_ptr<PlistRoot> UserPlistRoot();

}  // namespace kestrin::policy
