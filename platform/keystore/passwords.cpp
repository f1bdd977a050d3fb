// Generic passwords: secret bytes stored under a service and an account.
#include "keystore_impl.h"

namespace kestrin::keystore {
namespace {

HRESULT CheckNames(std::string_view service, std::string_view account)
{
    return service.size() > kMaxNameSize || account.size() > kMaxNameSize ? E_INVALIDARG : S_OK;
}

}  // namespace

HRESULT KeyStore::SetPassword(std::string_view service, std::string_view account, std::span<const uint8_t> secret)
{
    if (FAILED(CheckNames(service, account)) || secret.size() > kMaxSecretSize)
        return E_INVALIDARG;
    return impl_->Change(kPasswordsChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "INSERT INTO passwords(service, account, secret) VALUES(?1, ?2, ?3)"
                                           " ON CONFLICT(service, account) DO UPDATE SET secret = excluded.secret");
        st.Bind(1, service);
        st.Bind(2, account);
        st.Bind(3, secret);
        if (SUCCEEDED(hr))
            hr = st.Step();
        return FAILED(hr) ? hr : S_OK;
    });
}

HRESULT KeyStore::GetPassword(std::string_view service, std::string_view account, SecretBytes* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (FAILED(CheckNames(service, account)))
        return E_INVALIDARG;
    return NoThrow([&] {
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "SELECT secret FROM passwords WHERE service = ?1 AND account = ?2");
        st.Bind(1, service);
        st.Bind(2, account);
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (hr != S_OK)
            return hr;
        auto secret = st.Blob(0);
        if (secret.size() > kMaxSecretSize)
            return KEYSTORE_E_DATABASE;
        return out->Assign(secret);
    });
}

HRESULT KeyStore::DeletePassword(std::string_view service, std::string_view account)
{
    if (FAILED(CheckNames(service, account)))
        return E_INVALIDARG;
    return impl_->Change(kPasswordsChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "DELETE FROM passwords WHERE service = ?1 AND account = ?2");
        st.Bind(1, service);
        st.Bind(2, account);
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (FAILED(hr))
            return hr;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
}

}  // namespace kestrin::keystore
