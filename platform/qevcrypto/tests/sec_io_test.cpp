// Whole-file reads of "SEC_IO_1".
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "qev_fixture.h"
#include "qev_io.h"

namespace {

class SecIo : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        API_COMMON* t = nullptr;
        ASSERT_EQ(list->get_api(nullptr, SEC_IO_API, &t), S_OK);
        io = ZELK_ApiCast<SEC_IO_TABLE>(t);
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
        char pattern[] = "/tmp/secio-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(command.c_str()), 0);
        QevLibrary::TearDown();
    }

    void write(const std::string& path, const std::string& bytes)
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    // The bytes read, or "<fail:code>"; the value is freed through its type.
    std::string read(const std::string& path)
    {
        OctetString* s = reinterpret_cast<OctetString*>(1);
        HRESULT hr = io->file2OctetString(path.c_str(), &s);
        if (hr != S_OK) {
            EXPECT_EQ(s, nullptr);
            return "<fail:" + std::to_string(hr) + ">";
        }
        EXPECT_EQ(s->data[s->length], 0);  // a NUL behind the bytes
        std::string bytes(reinterpret_cast<const char*>(s->data), s->length);
        SEC_TypeTable(types, SEC_TYPE_OctetString)->free(s);
        return bytes;
    }

    static std::string fail(HRESULT hr) { return "<fail:" + std::to_string(hr) + ">"; }

    SEC_IO_TABLE* io = nullptr;
    API_COMMON* types = nullptr;
    std::string dir;
};

TEST_F(SecIo, ReadsWholeFilesWithTheirExactBytes)
{
    std::string binary("a\0b\r\n\xff", 6);
    write(dir + "/binary", binary);
    EXPECT_EQ(read(dir + "/binary"), binary);
    write(dir + "/empty", "");
    EXPECT_EQ(read(dir + "/empty"), "");
    std::string large(3 * 1024 * 1024 + 17, 'x');
    large[12345] = 'y';
    write(dir + "/large", large);
    EXPECT_EQ(read(dir + "/large"), large);
    // A file that reports no size is read to its end all the same.
    std::string status = read("/proc/self/status");
    EXPECT_NE(status.find("Pid:"), std::string::npos);
}

TEST_F(SecIo, RefusesWhatCannotOrMayNotBeRead)
{
    EXPECT_EQ(read(dir + "/missing"), fail(SEC_E_IO_NOT_FOUND));
    EXPECT_EQ(read(dir + "/missing/below"), fail(SEC_E_IO_NOT_FOUND));
    EXPECT_EQ(read(dir), fail(E_FAIL));  // a folder
    // Over the limit: refused from its size, before anything is read.
    std::string huge = dir + "/huge";
    write(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(SEC_IO_MAX_FILE_SIZE + 1)), 0);
    EXPECT_EQ(read(huge), fail(E_FAIL));
    ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(SEC_IO_MAX_FILE_SIZE)), 0);
    EXPECT_EQ(read(huge).size(), SEC_IO_MAX_FILE_SIZE);
    if (geteuid() != 0) {
        write(dir + "/secret", "s");
        chmod((dir + "/secret").c_str(), 0);
        EXPECT_EQ(read(dir + "/secret"), fail(E_ACCESSDENIED));
    }
    OctetString* s = nullptr;
    EXPECT_EQ(io->file2OctetString(nullptr, &s), E_INVALIDARG);
    EXPECT_EQ(io->file2OctetString("", &s), E_INVALIDARG);
    EXPECT_EQ(io->file2OctetString(dir.c_str(), nullptr), E_POINTER);
}

TEST_F(SecIo, RenameNeverReplacesAnExistingTarget)
{
    std::string from = dir + "/pse.zip";
    std::string to = dir + "/pse.zip.corrupt-20261210181500";
    write(from, "old keys");
    ASSERT_EQ(io->Rename(from.c_str(), to.c_str()), S_OK);
    EXPECT_EQ(read(to), "old keys");
    EXPECT_EQ(read(from), fail(SEC_E_IO_NOT_FOUND));

    // A second file of the same name is refused, and both stay as they are.
    write(from, "new keys");
    EXPECT_EQ(io->Rename(from.c_str(), to.c_str()), SEC_E_IO_EXISTS);
    EXPECT_EQ(read(from), "new keys");
    EXPECT_EQ(read(to), "old keys");

    EXPECT_EQ(io->Rename((dir + "/missing").c_str(), (dir + "/other").c_str()), SEC_E_IO_NOT_FOUND);
    EXPECT_EQ(io->Rename(from.c_str(), (dir + "/no/such/folder").c_str()), SEC_E_IO_NOT_FOUND);
    EXPECT_EQ(io->Rename(nullptr, to.c_str()), E_INVALIDARG);
    EXPECT_EQ(io->Rename(from.c_str(), nullptr), E_INVALIDARG);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.c_str(), 0500), 0);
        EXPECT_EQ(io->Rename(from.c_str(), (dir + "/moved").c_str()), E_ACCESSDENIED);
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    }
}

}  // namespace
