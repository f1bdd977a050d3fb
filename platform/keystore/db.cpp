// SQLite connection, statements and transactions of the key store.
#include "db.h"

namespace kestrin::keystore::detail {

HRESULT SqliteResult(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return S_OK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return KEYSTORE_E_BUSY;
    case SQLITE_NOMEM:
        return E_OUTOFMEMORY;
    case SQLITE_NOTADB:
        return KEYSTORE_E_NOT_DATABASE;
    case SQLITE_TOOBIG:
        return E_INVALIDARG;
    default:
        return KEYSTORE_E_DATABASE;
    }
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

HRESULT Statement::Prepare(sqlite3* db, const char* sql)
{
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    bindError_ = SQLITE_OK;
    return SqliteResult(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr));
}

void Statement::Bind(int index, std::span<const uint8_t> blob)
{
    // An empty blob still binds a (zero-length) value, never NULL.
    static const uint8_t kEmpty = 0;
    int rc = sqlite3_bind_blob64(stmt_, index, blob.empty() ? &kEmpty : blob.data(), blob.size(), SQLITE_STATIC);
    if (bindError_ == SQLITE_OK)
        bindError_ = rc;
}

void Statement::Bind(int index, std::string_view text)
{
    int rc =
        sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (bindError_ == SQLITE_OK)
        bindError_ = rc;
}

void Statement::Bind(int index, int64_t value)
{
    int rc = sqlite3_bind_int64(stmt_, index, value);
    if (bindError_ == SQLITE_OK)
        bindError_ = rc;
}

HRESULT Statement::Step()
{
    if (bindError_ != SQLITE_OK)
        return SqliteResult(bindError_);
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return S_OK;
    if (rc == SQLITE_DONE)
        return S_FALSE;
    return SqliteResult(rc);
}

std::span<const uint8_t> Statement::Blob(int column) const
{
    const void* p = sqlite3_column_blob(stmt_, column);
    int n = sqlite3_column_bytes(stmt_, column);
    if (p == nullptr || n <= 0)
        return {};
    return {static_cast<const uint8_t*>(p), static_cast<size_t>(n)};
}

std::string_view Statement::Text(int column) const
{
    const unsigned char* p = sqlite3_column_text(stmt_, column);
    int n = sqlite3_column_bytes(stmt_, column);
    if (p == nullptr || n <= 0)
        return {};
    return {reinterpret_cast<const char*>(p), static_cast<size_t>(n)};
}

int64_t Statement::Int(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

HRESULT Statement::Sha1At(int column, Fingerprint* out) const
{
    auto blob = Blob(column);
    if (blob.size() != out->size())
        return KEYSTORE_E_DATABASE;
    std::copy(blob.begin(), blob.end(), out->begin());
    return S_OK;
}

HRESULT Exec(sqlite3* db, const char* sql)
{
    return SqliteResult(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

Transaction::~Transaction()
{
    if (open_)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

HRESULT Transaction::Begin()
{
    HRESULT hr = Exec(db_, "BEGIN IMMEDIATE");
    open_ = SUCCEEDED(hr);
    return hr;
}

HRESULT Transaction::Commit()
{
    HRESULT hr = Exec(db_, "COMMIT");
    if (SUCCEEDED(hr))
        open_ = false;
    return hr;
}

}  // namespace kestrin::keystore::detail
