// Thin RAII layer over SQLite: the store's one connection, statements and
// transactions, with SQLite results turned into the store's result codes.
#pragma once

#include <sqlite3.h>

#include <span>
#include <string>
#include <string_view>

#include "keystore.h"

namespace kestrin::keystore::detail {

HRESULT SqliteResult(int rc);

class Statement {
public:
    Statement() = default;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    HRESULT Prepare(sqlite3* db, const char* sql);
    // Bound values are not copied: they must outlive the last Step.
    void Bind(int index, std::span<const uint8_t> blob);
    void Bind(int index, std::string_view text);
    void Bind(int index, int64_t value);
    // S_OK: a row; S_FALSE: done; negative: failure.
    HRESULT Step();

    std::span<const uint8_t> Blob(int column) const;
    std::string_view Text(int column) const;
    int64_t Int(int column) const;
    HRESULT Sha1At(int column, Fingerprint* out) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    int bindError_ = SQLITE_OK;
};

// Runs statements without results.
HRESULT Exec(sqlite3* db, const char* sql);

// BEGIN IMMEDIATE ... COMMIT; rolled back when not committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    HRESULT Begin();
    HRESULT Commit();

private:
    sqlite3* db_;
    bool open_ = false;
};

// Opens the store's database at `path`, creating the file (0600) and missing
// folders (0700) when needed, and creating or checking the schema. A file
// that is not a key store is never written.
HRESULT OpenDatabase(const std::string& path, sqlite3** out, std::string* message);

}  // namespace kestrin::keystore::detail
