// State behind KeyStore, shared by the files that implement its parts.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "db.h"
#include "keystore.h"
#include "notifier.h"
#include "watcher.h"

namespace kestrin::keystore {

// Runs `body` turning an allocation failure into E_OUTOFMEMORY.
template <class F>
HRESULT NoThrow(F&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

struct KeyStore::Impl {
    ~Impl();

    // Runs `body` in one write transaction under the lock. `body` answers
    // S_OK when it changed something (the transaction is committed, the
    // change counters of `kinds` advanced and the callbacks told), S_FALSE
    // when it changed nothing (rolled back), or a failure (rolled back).
    template <class F>
    HRESULT Change(unsigned kinds, F&& body)
    {
        HRESULT hr;
        {
            std::lock_guard lock(mutex);
            detail::Transaction tx(db);
            hr = tx.Begin();
            if (SUCCEEDED(hr))
                hr = NoThrow(body);
            if (hr == S_OK)
                hr = CommitChanges(tx, kinds);
        }
        if (hr == S_OK)
            notifier->Dispatch(kinds);
        return hr;
    }

    // With the lock held.
    HRESULT CommitChanges(detail::Transaction& tx, unsigned kinds);
    HRESULT ReadSerials(std::array<int64_t, 3>* out);
    // Kinds changed by others since last seen (watcher thread).
    unsigned TakeOutsideChanges();

    std::string path;
    std::string dir;
    std::string base;
    // Closed after every commit, so that watchers see the commit visible.
    std::string changeMarker;
    std::string systemAnchors;

    std::mutex mutex;  // guards db and known
    sqlite3* db = nullptr;
    std::array<int64_t, 3> known {};  // change counters as last seen, per kind bit

    std::shared_ptr<Notifier> notifier;
    std::mutex watcherMutex;
    std::unique_ptr<Watcher> watcher;
};

}  // namespace kestrin::keystore

namespace kestrin::keystore::detail {

// Columns: certificate sha1, der, key print name, key type, key bits.
constexpr const char* kIdentityColumns = "SELECT c.sha1, c.der, k.print_name, k.key_type, k.key_bits"
                                         " FROM certificates c JOIN keys k ON k.key_id = c.key_id";
HRESULT IdentityFromRow(const Statement& row, Identity* out);
// With the store's lock held.
HRESULT FindIdentityLocked(sqlite3* db, const Fingerprint& sha1, Identity* out);
HRESULT SizeCheck(std::string_view text);

}  // namespace kestrin::keystore::detail
