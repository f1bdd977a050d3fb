// Where the two preference files live: the user's in $XDG_CONFIG_HOME/kestrin
// (default ~/.config/kestrin), the administrator's in the first folder of
// $XDG_CONFIG_DIRS (default /etc/xdg) that holds kestrin/settings.plist, else
// in the first of those folders.
#pragma once

#include <string>

namespace kestrin::policy {

inline constexpr const char* kPolicyFolderName = "kestrin";

std::string UserPolicyFolder();
std::string SystemPolicyFolder();

}  // namespace kestrin::policy
