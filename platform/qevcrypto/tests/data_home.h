// A temporary user data folder: XDG_DATA_HOME points at it for the test and
// is put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

class TempDataHome {
public:
    TempDataHome()
    {
        char pattern[] = "/tmp/qevdataXXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        root = made != nullptr ? made : "";
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            saved = old;
        if (const char* old = std::getenv("HOME"))
            savedHome = old;
        setenv("XDG_DATA_HOME", root.c_str(), 1);
    }
    ~TempDataHome()
    {
        if (saved)
            setenv("XDG_DATA_HOME", saved->c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        if (savedHome)
            setenv("HOME", savedHome->c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    TempDataHome(const TempDataHome&) = delete;
    TempDataHome& operator=(const TempDataHome&) = delete;

    std::string Folder() const { return root + "/kestrin"; }
    std::string PseFile() const { return Folder() + "/pse.zip"; }

    std::string root;

private:
    std::optional<std::string> saved;
    std::optional<std::string> savedHome;  // tests may point HOME elsewhere
};
