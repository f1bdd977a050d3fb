// Loads the stand-in the way a deliverable finds it (the program's own folder,
// then ../lib) and fetches its function list.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "qevcrypto.h"

inline std::string qev_test_own_dir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

class QevLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string dir = qev_test_own_dir();
        for (const std::string& candidate : {dir + "/libqevcrypto.so", dir + "/../lib/libqevcrypto.so"}) {
            handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle)
                break;
        }
        ASSERT_NE(handle, nullptr) << dlerror();
        getList = reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(dlsym(handle, "cryptolib_get_f_list"));
        registerCallback =
            reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(dlsym(handle, "Qevcryptolib_RegisterTraceCallback"));
        setLevel = reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(dlsym(handle, "Qevcryptolib_SetTraceLevel"));
        ASSERT_NE(getList, nullptr);
        ASSERT_NE(registerCallback, nullptr);
        ASSERT_NE(setLevel, nullptr);
        ASSERT_EQ(getList(0, nullptr, &list, nullptr, "", 0), S_OK);
        ASSERT_NE(list, nullptr);
    }

    void TearDown() override
    {
        if (registerCallback)
            registerCallback(0, nullptr);
        if (setLevel)
            setLevel(0);
        if (list)
            list->release(list);
        if (handle)
            dlclose(handle);
    }

    void* handle = nullptr;
    CRYPTOLIB_GET_F_LIST_FN getList = nullptr;
    QEV_REGISTER_TRACE_CALLBACK_FN registerCallback = nullptr;
    QEV_SET_TRACE_LEVEL_FN setLevel = nullptr;
    SEC_FUNCTION_LIST* list = nullptr;
};
