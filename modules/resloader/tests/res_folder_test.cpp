// The default resource folder beside the library folder.
#include "res_folder.h"

#include <gtest/gtest.h>

namespace {

TEST(ResourceFolder, FollowsTheLibraryFolder)
{
    struct Case {
        const char* library;
        const char* resources;
    } cases[] = {
        {"/opt/x/lib", "/opt/x/etc"},
        {"/opt/x/modules", "/opt/x/modules/etc"},
        {"/opt/x/BIN", "/opt/x/etc"},
        {"/opt/x/Lib/", "/opt/x/etc"},
        {"/opt/x/modules/", "/opt/x/modules/etc"},
        {"/opt/x/etc", "/opt/x/etc"},
        {"/lib", "/etc"},
        {"/", "/etc"},
        {"/opt/x/library", "/opt/x/library/etc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.resources, kestrin::resloader::ResourceDirForLibraryDir(c.library)) << c.library;
}

}  // namespace
