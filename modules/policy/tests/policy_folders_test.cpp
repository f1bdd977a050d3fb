#include "policy_folders.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "test_util.h"

using namespace kestrin::policy;

TEST(PolicyFolders, FollowTheXdgVariables)
{
    kestrin::policy::test::TempDir dir;
    setenv("HOME", "/home/someone", 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(UserPolicyFolder(), "/home/someone/.config/kestrin");
    EXPECT_EQ(SystemPolicyFolder(), "/etc/xdg/kestrin");
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(UserPolicyFolder(), "/home/someone/.config/kestrin");
    setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    EXPECT_EQ(UserPolicyFolder(), dir / "kestrin");

    // The first folder is used until a later one holds the file.
    std::string dirs = "relative:" + (dir / "a") + ":" + (dir / "b");
    setenv("XDG_CONFIG_DIRS", dirs.c_str(), 1);
    EXPECT_EQ(SystemPolicyFolder(), dir / "a/kestrin");
    std::filesystem::create_directories(dir / "b/kestrin");
    kestrin::policy::test::WriteFile(dir / "b/kestrin/settings.plist", "");
    EXPECT_EQ(SystemPolicyFolder(), dir / "b/kestrin");
    setenv("XDG_CONFIG_DIRS", "", 1);
    EXPECT_EQ(SystemPolicyFolder(), "/etc/xdg/kestrin");
}
