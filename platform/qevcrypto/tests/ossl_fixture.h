// The stand-in loaded as a deliverable finds it, plus a temporary folder and
// the OpenSSL command-line tool as the peer that makes and checks files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qev_fixture.h"
#include "qev_values.h"

class QevOsslTest : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        char tmpl[] = "/tmp/qevossl-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        QevLibrary::TearDown();
    }

    template <class T>
    T* table(const char* name)
    {
        API_COMMON* t = nullptr;
        EXPECT_EQ(list->get_api(nullptr, name, &t), S_OK);
        return static_cast<T*>(t);
    }

    const SEC_TYPE_TABLE* type(unsigned int index)
    {
        return SEC_TypeTable(table<API_COMMON>("SEC_COMMONTYPES_1"), index);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Runs a command in the temporary folder; its exit status.
    int run(const std::string& command) const
    {
        std::string full = "cd '" + dir + "' && " + command + " >/dev/null 2>&1";
        int rc = std::system(full.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    std::vector<unsigned char> read(const std::string& name) const
    {
        std::ifstream f(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

    void write(const std::string& name, const unsigned char* data, size_t length) const
    {
        std::ofstream f(path(name), std::ios::binary);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    }

    // A self-signed RSA certificate and its key: <name>.crt and <name>.key.
    void makeIdentity(const std::string& name, const std::string& subject) const
    {
        ASSERT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '" + subject + "' -keyout " + name
                      + ".key -out " + name + ".crt"),
                  0);
    }

    // An octet string from the library's allocator.
    OctetString* octets(const std::vector<unsigned char>& bytes) const
    {
        auto* s = static_cast<OctetString*>(list->calloc(1, sizeof(OctetString)));
        s->data = static_cast<unsigned char*>(list->malloc(bytes.size() + 1));
        std::copy(bytes.begin(), bytes.end(), s->data);
        s->length = bytes.size();
        return s;
    }

    void freeOctets(OctetString* s) const
    {
        if (s) {
            list->free(s->data);
            list->free(s);
        }
    }

    std::string dir;
};
