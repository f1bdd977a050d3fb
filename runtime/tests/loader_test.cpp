// Library loader, installation root and path helpers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime_test_util.h"
#include "zelk_loader.h"

namespace fs = std::filesystem;

namespace {

struct PathCase {
    const char* input;
    const char* expected;
};

TEST(PathHelpers, Canonicalize)
{
    const PathCase cases[] = {
        {"/a//b/./c/../d", "/a/b/d"},
        {"/a/b/.", "/a/b"},
        {"/a/b/./", "/a/b/"},
        {"/a/b/..", "/a"},
        {"/a/b/../", "/a/"},
        {"/a/../..", "/"},
        {"/..", "/"},
        {"/../x", "/x"},
        {"/", "/"},
        {"//", "/"},
        {"", ""},
        {"/home/u/.config/x/./y", "/home/u/.config/x/y"},
        {"/a/.hidden/../b", "/a/b"},
        {"/a/..b/c", "/a/..b/c"},
        {"a/../b", "b"},
        {"a/..", "."},
        {"../a/./b", "../a/b"},
        {"../../a", "../../a"},
        {"./a", "a"},
        {"/opt/x/bin/../lib/libqevcrypto.so", "/opt/x/lib/libqevcrypto.so"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.input);
        char out[ZELK_MAX_PATH];
        EXPECT_EQ(SecPathCanonicalize(out, c.input), 1);
        EXPECT_STREQ(out, c.expected);
        char inPlace[ZELK_MAX_PATH];
        std::strcpy(inPlace, c.input);
        SecPathCanonicalize(inPlace, inPlace);
        EXPECT_STREQ(inPlace, c.expected);
    }
}

TEST(PathHelpers, CanonicalizeCutsLongPathsTo511Characters)
{
    std::string longPath = "/" + std::string(700, 'x');
    char out[ZELK_MAX_PATH];
    SecPathCanonicalize(out, longPath.c_str());
    EXPECT_EQ(std::strlen(out), 511u);
}

TEST(PathHelpers, RemoveFileSpec)
{
    const PathCase cases[] = {
        {"/a/b", "/a"}, {"a/", "a"}, {"/a", ""}, {"/", ""}, {"abc", "."}, {"", ""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.input);
        char path[ZELK_MAX_PATH];
        std::strcpy(path, c.input);
        PathRemoveFileSpecA(path);
        EXPECT_STREQ(path, c.expected);
    }
    PathRemoveFileSpecA(nullptr);
}

TEST(PathHelpers, FindFileName)
{
    const PathCase cases[] = {
        {"/a/b/libx.so", "libx.so"},
        {"libx.so", "libx.so"},
        {"/a/b/", "/a/b/"},
        {"", ""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.input);
        char path[ZELK_MAX_PATH];
        std::strcpy(path, c.input);
        EXPECT_STREQ(PathFindFileNameA(path), c.expected);
    }
}

TEST(PathHelpers, Append)
{
    struct AppendCase {
        const char* path;
        const char* more;
        const char* expected;
    };
    const AppendCase cases[] = {
        {"/opt/x", "lib", "/opt/x/lib"},
        {"/opt/x/", "lib", "/opt/x/lib"},
        {"", "lib", "lib"},
        {"/opt/x/bin", "../lib/libq.so", "/opt/x/lib/libq.so"},
        {"/opt/x", "", "/opt/x"},
    };
    for (const AppendCase& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " + " + c.more);
        char path[ZELK_MAX_PATH];
        std::strcpy(path, c.path);
        EXPECT_EQ(PathAppendA(path, c.more), 1);
        EXPECT_STREQ(path, c.expected);
    }
    // The bounded form cuts what does not fit (counting "/" and the terminator).
    char small[10] = "/ab";
    EXPECT_EQ(PathCchAppendA(small, sizeof small, "cdefghijk"), 0);
    EXPECT_STREQ(small, "/ab/cdefg");
}

TEST(OwnModule, MainProgramIsFoundThroughProcSelfExe)
{
    char exe[ZELK_MAX_PATH];
    ASSERT_NE(realpath("/proc/self/exe", exe), nullptr);
    ASSERT_NE(ZELK_FindOwnModulePath(), nullptr);
    EXPECT_STREQ(ZELK_FindOwnModulePath(), exe);
    EXPECT_EQ(std::string(ZELK_FindOwnModuleDir()), test_program_dir());
    EXPECT_STREQ(ZELK_FindOwnModuleName(), "runtime_loader_tests");
}

TEST(OwnModule, NormalizeSearchesPathForBareNames)
{
    TempDir tmp;
    fs::create_directories(tmp.path() + "/bin");
    fs::create_directories(tmp.path() + "/lib");
    std::ofstream(tmp.path() + "/bin/zelkprog");
    std::ofstream(tmp.path() + "/lib/libzelkfoo.so");
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const char* ld = std::getenv("LD_LIBRARY_PATH");
    std::string savedLd = ld ? ld : "";
    setenv("PATH", ("/nonexistent:" + tmp.path() + "/bin").c_str(), 1);
    setenv("LD_LIBRARY_PATH", (tmp.path() + "/lib").c_str(), 1);

    char out[ZELK_MAX_PATH];
    SecLibraryInitNormalizePath(out, sizeof out, "zelkprog");
    EXPECT_EQ(std::string(out), tmp.path() + "/bin/zelkprog");
    SecLibraryInitNormalizePath(out, sizeof out, "libzelkfoo.so");
    EXPECT_EQ(std::string(out), tmp.path() + "/lib/libzelkfoo.so");
    // Not found anywhere: relative to the working directory.
    char cwd[ZELK_MAX_PATH];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    SecLibraryInitNormalizePath(out, sizeof out, "zelknothere");
    EXPECT_EQ(std::string(out), std::string(cwd) + "/zelknothere");
    SecLibraryInitNormalizePath(out, sizeof out, "/a/./b");
    EXPECT_STREQ(out, "/a/b");

    setenv("PATH", savedPath.c_str(), 1);
    if (ld)
        setenv("LD_LIBRARY_PATH", savedLd.c_str(), 1);
    else
        unsetenv("LD_LIBRARY_PATH");
}

class InstallationTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(tmp.path() + "/x/bin");
        fs::create_directories(tmp.path() + "/x/lib");
        source = test_program_dir() + "/noexport/libqevcrypto.so";
        ASSERT_TRUE(fs::exists(source));
    }
    void place(const std::string& dir) { fs::copy_file(source, tmp.path() + "/x/" + dir + "/libqevcrypto.so"); }

    std::string load(const char* name, const std::string& root, int flags = 3)
    {
        char path[ZELK_MAX_PATH] = "junk";
        void* handle = SecLoadLibrary(name, root.c_str(), flags, path, sizeof path);
        if (handle == nullptr) {
            EXPECT_STREQ(path, "");
            return "";
        }
        dlclose(handle);
        return path;
    }

    TempDir tmp;
    std::string source;
};

TEST_F(InstallationTree, RootThenParentLib)
{
    const std::string x = tmp.path() + "/x";
    EXPECT_EQ(load("qevcrypto", x + "/bin"), "");
    place("lib");
    EXPECT_EQ(load("qevcrypto", x + "/bin"), x + "/lib/libqevcrypto.so");
    EXPECT_EQ(load("qevcrypto", x + "/lib"), x + "/lib/libqevcrypto.so");
    EXPECT_EQ(load("qevcrypto", x + "/bin/"), x + "/lib/libqevcrypto.so");
    place("bin");
    EXPECT_EQ(load("qevcrypto", x + "/bin"), x + "/bin/libqevcrypto.so");
    // A name with a dot is the file name; a name with a slash is opened as is.
    EXPECT_EQ(load("libqevcrypto.so", x + "/lib"), x + "/lib/libqevcrypto.so");
    EXPECT_EQ(load((x + "/lib/../bin/libqevcrypto.so").c_str(), "/nonexistent"), x + "/bin/libqevcrypto.so");
    EXPECT_EQ(load("", x + "/bin"), "");
}

TEST_F(InstallationTree, BareNameOnlyWithFlagsZero)
{
    EXPECT_EQ(load("libc.so.6", tmp.path() + "/x/bin", 3), "");
    EXPECT_EQ(load("libc.so.6", tmp.path() + "/x/bin", 0), "libc.so.6");
    char path[ZELK_MAX_PATH];
    void* h = SecLoadLibrary("libc.so.6", nullptr, 0, path, sizeof path);
    ASSERT_NE(h, nullptr);
    dlclose(h);
    EXPECT_EQ(SecLoadLibrary("libc.so.6", nullptr, 3, path, sizeof path), nullptr);
}

TEST_F(InstallationTree, LoadLibrarySetsTheRootToTheOwnFolderUntilReplaced)
{
    ZELK_FreeInstallationRoot();
    void* handle = reinterpret_cast<void*>(1);
    EXPECT_EQ(ZELK_LoadLibrary("zelknosuchlibrary", &handle), E_FAIL);
    EXPECT_EQ(handle, nullptr);
    ASSERT_NE(ZELK_GetInstallationRoot(), nullptr);
    EXPECT_EQ(std::string(ZELK_GetInstallationRoot()), test_program_dir());

    place("lib");
    ASSERT_EQ(ZELK_SetInstallationRoot((tmp.path() + "/x/bin").c_str()), S_OK);
    EXPECT_EQ(ZELK_LoadLibrary("qevcrypto", &handle), S_OK);
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(ZELK_GetProcAddress(handle, "qev_something_else"), nullptr);
    EXPECT_EQ(ZELK_GetProcAddress(handle, "cryptolib_get_f_list"), nullptr);
    EXPECT_EQ(ZELK_FreeLibrary(&handle), S_OK);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(ZELK_FreeLibrary(&handle), ZELK_E_UNLOAD);
    EXPECT_EQ(ZELK_FreeLibrary(nullptr), ZELK_E_UNLOAD);
    ZELK_FreeInstallationRoot();
    EXPECT_EQ(ZELK_GetInstallationRoot(), nullptr);
}

}  // namespace
