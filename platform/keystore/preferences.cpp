// Identity preferences: the identity preferred for a name.
#include "keystore_impl.h"

namespace kestrin::keystore {

HRESULT KeyStore::SetPreferredIdentity(std::string_view name, const Fingerprint& identity)
{
    if (name.empty() || FAILED(detail::SizeCheck(name)))
        return E_INVALIDARG;
    return impl_->Change(kIdentitiesChanged, [&] {
        Identity found;
        HRESULT hr = detail::FindIdentityLocked(impl_->db, identity, &found);
        if (hr == S_FALSE)
            return KEYSTORE_E_NOT_FOUND;
        if (FAILED(hr))
            return hr;
        detail::Statement st;
        hr = st.Prepare(impl_->db, "INSERT INTO preferences(name, sha1) VALUES(?1, ?2)"
                                   " ON CONFLICT(name) DO UPDATE SET sha1 = excluded.sha1");
        st.Bind(1, name);
        st.Bind(2, std::span<const uint8_t>(identity));
        if (SUCCEEDED(hr))
            hr = st.Step();
        return FAILED(hr) ? hr : S_OK;
    });
}

HRESULT KeyStore::GetPreferredIdentity(std::string_view name, Identity* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (name.empty() || FAILED(detail::SizeCheck(name)))
        return E_INVALIDARG;
    return NoThrow([&] {
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "SELECT sha1 FROM preferences WHERE name = ?1");
        st.Bind(1, name);
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (hr != S_OK)
            return hr;
        Fingerprint sha1;
        hr = st.Sha1At(0, &sha1);
        if (FAILED(hr))
            return hr;
        // A preference whose identity is gone names nothing.
        Identity found;
        hr = detail::FindIdentityLocked(impl_->db, sha1, &found);
        if (hr == S_OK)
            *out = std::move(found);
        return hr;
    });
}

HRESULT KeyStore::ClearPreferredIdentity(std::string_view name)
{
    if (name.empty() || FAILED(detail::SizeCheck(name)))
        return E_INVALIDARG;
    return impl_->Change(kIdentitiesChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "DELETE FROM preferences WHERE name = ?1");
        st.Bind(1, name);
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (FAILED(hr))
            return hr;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
}

}  // namespace kestrin::keystore
