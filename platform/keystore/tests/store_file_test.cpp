// The database file: where it lives, its modes, and files that are not a key store.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "pki.h"

namespace kestrin::keystore::test {
namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous_(umask(mask)) {}
    ~UmaskGuard() { umask(previous_); }

private:
    mode_t previous_;
};

TEST(StoreFileTest, CreatesPrivateFoldersAndFilesWhateverTheUmask)
{
    TempDir temp;
    UmaskGuard open(0);
    Options options;
    options.path = temp.path() + "/share/kestrin/keystore.db";
    std::unique_ptr<KeyStore> store;
    ASSERT_EQ(KeyStore::Open(options, &store), S_OK);
    const uint8_t secret[] = {1, 2, 3};
    ASSERT_EQ(store->SetPassword("QEV Hearthgate", "hgt", secret), S_OK);

    EXPECT_EQ(ModeOf(temp.path() + "/share"), 0700u);
    EXPECT_EQ(ModeOf(temp.path() + "/share/kestrin"), 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string file = options.path + suffix;
        if (std::filesystem::exists(file)) {
            EXPECT_EQ(ModeOf(file), 0600u) << file;
        }
    }
    EXPECT_EQ(ModeOf(options.path), 0600u);
}

TEST(StoreFileTest, ReopenKeepsDataAndNarrowsAWidenedFile)
{
    TempDir temp;
    Options options;
    options.path = temp.path() + "/keystore.db";
    const uint8_t secret[] = {'p', 'w'};
    {
        std::unique_ptr<KeyStore> store;
        ASSERT_EQ(KeyStore::Open(options, &store), S_OK);
        ASSERT_EQ(store->SetPassword("svc", "acct", secret), S_OK);
    }
    ASSERT_EQ(chmod(options.path.c_str(), 0644), 0);
    std::unique_ptr<KeyStore> store;
    ASSERT_EQ(KeyStore::Open(options, &store), S_OK);
    EXPECT_EQ(ModeOf(options.path), 0600u);
    SecretBytes read;
    ASSERT_EQ(store->GetPassword("svc", "acct", &read), S_OK);
    EXPECT_EQ(std::vector<uint8_t>(read.data(), read.data() + read.size()), std::vector<uint8_t>({'p', 'w'}));
}

TEST(StoreFileTest, DefaultPathFollowsXdgDataHome)
{
    const char* saved = std::getenv("XDG_DATA_HOME");
    std::string keep = saved ? saved : "";
    std::string path;
    setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(KeyStore::DefaultPath(&path), S_OK);
    EXPECT_EQ(path, "/data/home/kestrin/keystore.db");
    // A relative value is ignored.
    setenv("XDG_DATA_HOME", "relative", 1);
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(KeyStore::DefaultPath(&path), S_OK);
    EXPECT_EQ(path, "/home/someone/.local/share/kestrin/keystore.db");
    setenv("HOME", home.c_str(), 1);
    if (saved) {
        setenv("XDG_DATA_HOME", keep.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

void MakeForeignDatabase(const std::string& path)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    chmod(path.c_str(), 0600);
}

void MakeNewerKeyStore(const std::string& path)
{
    Options options;
    options.path = path;
    std::unique_ptr<KeyStore> store;
    ASSERT_EQ(KeyStore::Open(options, &store), S_OK);
    store.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value = 2 WHERE key = 'version'", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

struct NotAStoreCase {
    const char* name;
    void (*make)(const std::string& path);
    HRESULT expected;
    const char* messagePart;
};

const NotAStoreCase kNotAStore[] = {
    {"text",
     [](const std::string& p) {
         const std::string text = "This is the user's own file, not a database.\n";
         WriteFile(p, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
     },
     KEYSTORE_E_NOT_DATABASE, "not a database"},
    {"short",
     [](const std::string& p) {
         WriteFile(p, std::vector<uint8_t> {'S', 'Q', 'L'});
     },
     KEYSTORE_E_NOT_DATABASE, "not a database"},
    {"foreign database", MakeForeignDatabase, KEYSTORE_E_FOREIGN_DATABASE, "not a key store"},
    {"newer key store", MakeNewerKeyStore, KEYSTORE_E_NEWER_FORMAT, "newer version"},
};

TEST(StoreFileTest, AFileThatIsNotAKeyStoreIsReportedAndLeftUnchanged)
{
    for (const auto& c : kNotAStore) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        std::string path = temp.path() + "/keystore.db";
        c.make(path);
        auto before = ReadFile(path);
        mode_t modeBefore = ModeOf(path);

        Options options;
        options.path = path;
        std::unique_ptr<KeyStore> store;
        std::string message;
        EXPECT_EQ(KeyStore::Open(options, &store, &message), c.expected);
        EXPECT_EQ(store, nullptr);
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_NE(message.find(c.messagePart), std::string::npos) << message;
        EXPECT_STRNE(ResultText(c.expected), "failure");

        EXPECT_EQ(ReadFile(path), before);
        EXPECT_EQ(ModeOf(path), modeBefore);
        EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
        EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
    }
}

TEST(StoreFileTest, ASymbolicLinkOrFolderIsRefused)
{
    TempDir temp;
    std::string target = temp.path() + "/elsewhere.db";
    std::string link = temp.path() + "/keystore.db";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Options options;
    options.path = link;
    std::unique_ptr<KeyStore> store;
    EXPECT_EQ(KeyStore::Open(options, &store), KEYSTORE_E_UNSAFE_PATH);
    EXPECT_FALSE(std::filesystem::exists(target));

    options.path = temp.path() + "/folder.db";
    ASSERT_EQ(mkdir(options.path.c_str(), 0700), 0);
    EXPECT_EQ(KeyStore::Open(options, &store), KEYSTORE_E_UNSAFE_PATH);
}

}  // namespace
}  // namespace kestrin::keystore::test
