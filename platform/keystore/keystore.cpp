// Opening and closing the key store, its change counters and subscriptions.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "keystore_impl.h"

namespace kestrin::keystore {

KeyStore::Impl::~Impl()
{
    {
        std::lock_guard lock(watcherMutex);
        watcher.reset();
    }
    sqlite3_close(db);
}

HRESULT KeyStore::Impl::ReadSerials(std::array<int64_t, 3>* out)
{
    detail::Statement st;
    HRESULT hr = st.Prepare(db, "SELECT kind, serial FROM changes");
    while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
        for (size_t i = 0; i < out->size(); ++i) {
            if (st.Int(0) == (int64_t {1} << i))
                (*out)[i] = st.Int(1);
        }
    }
    return FAILED(hr) ? hr : S_OK;
}

HRESULT KeyStore::Impl::CommitChanges(detail::Transaction& tx, unsigned kinds)
{
    detail::Statement bump;
    HRESULT hr = bump.Prepare(db, "UPDATE changes SET serial = serial + 1 WHERE kind & ?1 != 0");
    bump.Bind(1, static_cast<int64_t>(kinds));
    if (SUCCEEDED(hr))
        hr = bump.Step();
    std::array<int64_t, 3> serials = known;
    if (SUCCEEDED(hr))
        hr = ReadSerials(&serials);
    if (SUCCEEDED(hr))
        hr = tx.Commit();
    if (FAILED(hr))
        return hr;
    // The last write of a commit can reach the folder before the commit is
    // visible to readers; a watcher that looked in between would see nothing
    // new and get no further event. Closing the marker after the commit
    // gives it one.
    int marker = open(changeMarker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (marker >= 0)
        close(marker);
    // Only our own kinds become "seen": a change of another kind made by
    // another process just before stays visible to the watcher.
    for (size_t i = 0; i < known.size(); ++i) {
        if (kinds & (1u << i))
            known[i] = serials[i];
    }
    return S_OK;
}

unsigned KeyStore::Impl::TakeOutsideChanges()
{
    std::lock_guard lock(mutex);
    std::array<int64_t, 3> serials = known;
    // A store that cannot be read now may have changed: a needless reload
    // costs less than a change never told.
    if (FAILED(ReadSerials(&serials)))
        return kAllChanges;
    unsigned changed = 0;
    for (size_t i = 0; i < known.size(); ++i) {
        if (serials[i] != known[i])
            changed |= 1u << i;
    }
    known = serials;
    return changed;
}

HRESULT KeyStore::DefaultPath(std::string* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        const char* dataHome = std::getenv("XDG_DATA_HOME");
        std::string root;
        // Relative values are to be ignored.
        if (dataHome != nullptr && dataHome[0] == '/') {
            root = dataHome;
        } else {
            const char* home = std::getenv("HOME");
            if (home != nullptr && home[0] == '/') {
                root = home;
            } else {
                struct passwd pw;
                struct passwd* found = nullptr;
                char buffer[4096];
                if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) != 0 || found == nullptr
                    || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
                    return KEYSTORE_E_NO_HOME;
                }
                root = found->pw_dir;
            }
            root += "/.local/share";
        }
        *out = root + "/kestrin/keystore.db";
        return S_OK;
    });
}

HRESULT KeyStore::Open(const Options& options, std::unique_ptr<KeyStore>* out, std::string* message)
{
    if (out == nullptr)
        return E_POINTER;
    out->reset();
    return NoThrow([&] {
        auto impl = std::make_unique<Impl>();
        impl->path = options.path;
        if (impl->path.empty()) {
            HRESULT hr = DefaultPath(&impl->path);
            if (FAILED(hr)) {
                if (message != nullptr)
                    *message = "Key store: no home folder for the user data";
                return hr;
            }
        }
        size_t slash = impl->path.rfind('/');
        impl->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : impl->path.substr(0, slash);
        impl->base = slash == std::string::npos ? impl->path : impl->path.substr(slash + 1);
        impl->changeMarker = impl->dir + "/" + impl->base + "-changed";
        impl->systemAnchors = options.systemAnchors;
        impl->notifier = std::make_shared<Notifier>();
        HRESULT hr = detail::OpenDatabase(impl->path, &impl->db, message);
        if (FAILED(hr))
            return hr;
        hr = impl->ReadSerials(&impl->known);
        if (FAILED(hr)) {
            if (message != nullptr)
                *message = "Key store \"" + impl->path + "\": cannot read: " + sqlite3_errmsg(impl->db);
            return hr;
        }
        out->reset(new KeyStore(std::move(impl)));
        return S_OK;
    });
}

KeyStore::KeyStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

KeyStore::~KeyStore() = default;

const std::string& KeyStore::Path() const
{
    return impl_->path;
}

HRESULT KeyStore::Subscribe(unsigned kinds, ChangeCallback callback, Subscription* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (!callback || (kinds & kAllChanges) == 0)
        return E_INVALIDARG;
    out->Reset();
    return NoThrow([&] {
        {
            std::lock_guard lock(impl_->watcherMutex);
            if (!impl_->watcher) {
                Impl* impl = impl_.get();
                HRESULT hr = Watcher::Start(
                    impl->dir, impl->base, [impl] { impl->notifier->Dispatch(impl->TakeOutsideChanges()); },
                    &impl->watcher);
                if (FAILED(hr))
                    return hr;
            }
        }
        uint64_t id = 0;
        HRESULT hr = impl_->notifier->Add(kinds & kAllChanges, std::move(callback), &id);
        if (FAILED(hr))
            return hr;
        *out = Subscription(impl_->notifier, id);
        return S_OK;
    });
}

}  // namespace kestrin::keystore
