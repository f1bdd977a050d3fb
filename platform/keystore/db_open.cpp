// Opening the store's database file: folders 0700, file 0600, and a file
// that is not a key store reported and left as it is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db.h"

namespace kestrin::keystore::detail {
namespace {

constexpr char kFormat[] = "kestrin key store";
constexpr int64_t kVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL);"
    "CREATE TABLE changes(kind INTEGER PRIMARY KEY, serial INTEGER NOT NULL);"
    "CREATE TABLE keys(key_id BLOB PRIMARY KEY, pkcs8 BLOB NOT NULL, print_name TEXT NOT NULL,"
    " key_type INTEGER NOT NULL, key_bits INTEGER NOT NULL);"
    "CREATE TABLE certificates(id INTEGER PRIMARY KEY, sha1 BLOB NOT NULL UNIQUE,"
    " key_id BLOB NOT NULL, der BLOB NOT NULL);"
    "CREATE INDEX certificates_key ON certificates(key_id);"
    "CREATE TABLE preferences(name TEXT PRIMARY KEY, sha1 BLOB NOT NULL);"
    "CREATE TABLE passwords(service TEXT NOT NULL, account TEXT NOT NULL, secret BLOB NOT NULL,"
    " PRIMARY KEY(service, account));"
    "CREATE TABLE trust(sha1 BLOB NOT NULL, domain INTEGER NOT NULL, setting INTEGER NOT NULL,"
    " der BLOB NOT NULL, PRIMARY KEY(sha1, domain));"
    "INSERT INTO changes VALUES(1, 0), (2, 0), (4, 0);";

void SetMessage(std::string* message, const std::string& path, const std::string& cause)
{
    if (message == nullptr)
        return;
    try {
        *message = "Key store \"" + path + "\": " + cause;
    } catch (const std::bad_alloc&) {
        message->clear();
    }
}

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Creates the missing folders of `dir` with mode 0700; existing folders keep
// their modes (the store may live in a shared folder given by the caller).
HRESULT MakeFolders(const std::string& dir, std::string* cause)
{
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        struct stat st;
        if (stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *cause = "\"" + part + "\" is not a folder";
                return KEYSTORE_E_UNSAFE_PATH;
            }
            continue;
        }
        if (errno != ENOENT) {
            *cause = ErrnoText(("cannot examine \"" + part + "\"").c_str());
            return E_ACCESSDENIED;
        }
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *cause = ErrnoText(("cannot create \"" + part + "\"").c_str());
            return E_ACCESSDENIED;
        }
        chmod(part.c_str(), 0700);
    }
    return S_OK;
}

// SQLite gives new journal files the database's mode; ones left from
// before are made private too.
void NarrowJournals(const std::string& path)
{
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        int fd = open((path + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) != 0) {
            fchmod(fd, st.st_mode & 0600);
        }
        close(fd);
    }
}

// Makes sure `path` is a regular file of ours, 0600, and empty or an SQLite
// database; creates it (empty, 0600) when missing.
HRESULT PrepareFile(const std::string& path, std::string* cause)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST)
                continue;
            if (fd < 0) {
                *cause = ErrnoText("cannot create the file");
                return E_ACCESSDENIED;
            }
            fchmod(fd, 0600);
            close(fd);
            return S_OK;
        }
        if (fd < 0) {
            if (errno == ELOOP) {
                *cause = "the file is a symbolic link";
                return KEYSTORE_E_UNSAFE_PATH;
            }
            *cause = ErrnoText("cannot open the file");
            return E_ACCESSDENIED;
        }
        struct stat st;
        HRESULT hr = S_OK;
        if (fstat(fd, &st) != 0) {
            *cause = ErrnoText("cannot examine the file");
            hr = E_ACCESSDENIED;
        } else if (!S_ISREG(st.st_mode)) {
            *cause = "not a regular file";
            hr = KEYSTORE_E_UNSAFE_PATH;
        } else if (st.st_uid != geteuid()) {
            *cause = "the file belongs to another user";
            hr = KEYSTORE_E_UNSAFE_PATH;
        } else if (st.st_size > 0) {
            static const char kHeader[16] = "SQLite format 3";
            char header[sizeof kHeader] = {};
            ssize_t got = pread(fd, header, sizeof header, 0);
            if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, kHeader, sizeof header) != 0) {
                *cause = "the file is not a database; it was left unchanged";
                hr = KEYSTORE_E_NOT_DATABASE;
            }
        }
        // Only ever narrowed: a store readable by others is made private.
        if (SUCCEEDED(hr) && (st.st_mode & 077) != 0)
            fchmod(fd, st.st_mode & 0600);
        close(fd);
        if (SUCCEEDED(hr))
            NarrowJournals(path);
        return hr;
    }
    *cause = "the file keeps appearing and vanishing";
    return E_ACCESSDENIED;
}

// Creates the schema in an empty database, or checks that it is ours.
HRESULT CheckSchema(sqlite3* db, std::string* cause)
{
    Transaction tx(db);
    HRESULT hr = tx.Begin();
    if (FAILED(hr)) {
        *cause = hr == KEYSTORE_E_NOT_DATABASE ? "the file is not a database; it was left unchanged"
                                               : std::string("cannot read: ") + sqlite3_errmsg(db);
        return hr;
    }
    Statement count;
    hr = count.Prepare(db, "SELECT count(*), sum(name = 'meta') FROM sqlite_master");
    if (SUCCEEDED(hr))
        hr = count.Step();
    if (FAILED(hr)) {
        *cause = hr == KEYSTORE_E_NOT_DATABASE ? "the file is not a database; it was left unchanged"
                                               : std::string("cannot read: ") + sqlite3_errmsg(db);
        return hr;
    }
    if (count.Int(0) == 0) {
        hr = Exec(db, kSchema);
        if (SUCCEEDED(hr)) {
            Statement meta;
            hr = meta.Prepare(db, "INSERT INTO meta VALUES('format', ?1), ('version', ?2)");
            meta.Bind(1, std::string_view(kFormat));
            meta.Bind(2, kVersion);
            if (SUCCEEDED(hr))
                hr = meta.Step();
        }
        if (SUCCEEDED(hr))
            hr = tx.Commit();
        if (FAILED(hr))
            *cause = std::string("cannot create the tables: ") + sqlite3_errmsg(db);
        return FAILED(hr) ? hr : S_OK;
    }
    if (count.Int(1) == 0) {
        *cause = "the database is not a key store; it was left unchanged";
        return KEYSTORE_E_FOREIGN_DATABASE;
    }
    Statement meta;
    hr = meta.Prepare(db, "SELECT (SELECT value FROM meta WHERE key = 'format'),"
                          " (SELECT value FROM meta WHERE key = 'version')");
    if (SUCCEEDED(hr))
        hr = meta.Step();
    if (FAILED(hr) || meta.Text(0) != kFormat) {
        *cause = "the database is not a key store; it was left unchanged";
        return KEYSTORE_E_FOREIGN_DATABASE;
    }
    if (meta.Int(1) > kVersion) {
        *cause = "the key store was written by a newer version; it was left unchanged";
        return KEYSTORE_E_NEWER_FORMAT;
    }
    return S_OK;
}

}  // namespace

HRESULT OpenDatabase(const std::string& path, sqlite3** out, std::string* message)
{
    *out = nullptr;
    if (path.empty() || path.back() == '/')
        return E_INVALIDARG;
    std::string cause;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    HRESULT hr = dir.empty() ? S_OK : MakeFolders(dir, &cause);
    if (SUCCEEDED(hr))
        hr = PrepareFile(path, &cause);
    if (FAILED(hr)) {
        SetMessage(message, path, cause);
        return hr;
    }

    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        SetMessage(message, path, std::string("cannot open: ") + (db ? sqlite3_errmsg(db) : "out of memory"));
        sqlite3_close(db);
        return db == nullptr ? E_OUTOFMEMORY : SqliteResult(rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // Deleted keys and passwords are overwritten in the file, not just unlinked.
    hr = Exec(db, "PRAGMA secure_delete = ON");
    if (SUCCEEDED(hr))
        hr = CheckSchema(db, &cause);
    if (FAILED(hr)) {
        SetMessage(message, path, cause.empty() ? std::string(sqlite3_errmsg(db)) : cause);
        sqlite3_close(db);
        return hr;
    }
    // Only now that the file is known to be ours may its header change.
    Exec(db, "PRAGMA journal_mode = WAL");
    Exec(db, "PRAGMA synchronous = FULL");
    *out = db;
    return S_OK;
}

}  // namespace kestrin::keystore::detail
