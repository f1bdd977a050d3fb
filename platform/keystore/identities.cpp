// Identities: a certificate whose private key the store holds.
#include "keystore_impl.h"

namespace kestrin::keystore {
namespace detail {

HRESULT IdentityFromRow(const Statement& row, Identity* out)
{
    HRESULT hr = row.Sha1At(0, &out->sha1);
    if (FAILED(hr))
        return hr;
    auto der = row.Blob(1);
    out->certificate.assign(der.begin(), der.end());
    out->printName = row.Text(2);
    int64_t type = row.Int(3);
    out->keyType = type == static_cast<int64_t>(KeyType::Rsa)  ? KeyType::Rsa
                   : type == static_cast<int64_t>(KeyType::Ec) ? KeyType::Ec
                                                               : KeyType::Other;
    out->keyBits = static_cast<int>(row.Int(4));
    return S_OK;
}

HRESULT FindIdentityLocked(sqlite3* db, const Fingerprint& sha1, Identity* out)
{
    Statement st;
    HRESULT hr = st.Prepare(db, (std::string(kIdentityColumns) + " WHERE c.sha1 = ?1").c_str());
    st.Bind(1, std::span<const uint8_t>(sha1));
    if (SUCCEEDED(hr))
        hr = st.Step();
    if (hr != S_OK)
        return hr;
    return IdentityFromRow(st, out);
}

HRESULT SizeCheck(std::string_view text)
{
    return text.size() > kMaxNameSize ? E_INVALIDARG : S_OK;
}

namespace {

HRESULT DeleteRows(sqlite3* db, const char* sql, std::span<const uint8_t> key, bool* deleted)
{
    Statement st;
    HRESULT hr = st.Prepare(db, sql);
    st.Bind(1, key);
    if (SUCCEEDED(hr))
        hr = st.Step();
    if (FAILED(hr))
        return hr;
    if (sqlite3_changes(db) > 0)
        *deleted = true;
    return S_OK;
}

}  // namespace
}  // namespace detail

HRESULT KeyStore::ListIdentities(std::vector<Identity>* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        std::vector<Identity> found;
        std::lock_guard lock(impl_->mutex);
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, (std::string(detail::kIdentityColumns) + " ORDER BY c.id").c_str());
        while (SUCCEEDED(hr) && (hr = st.Step()) == S_OK) {
            Identity identity;
            hr = detail::IdentityFromRow(st, &identity);
            if (SUCCEEDED(hr))
                found.push_back(std::move(identity));
        }
        if (FAILED(hr))
            return hr;
        *out = std::move(found);
        return S_OK;
    });
}

HRESULT KeyStore::FindIdentity(const Fingerprint& sha1, Identity* out)
{
    if (out == nullptr)
        return E_POINTER;
    return NoThrow([&] {
        Identity found;
        std::lock_guard lock(impl_->mutex);
        HRESULT hr = detail::FindIdentityLocked(impl_->db, sha1, &found);
        if (hr == S_OK)
            *out = std::move(found);
        return hr;
    });
}

HRESULT KeyStore::DeleteIdentity(const Fingerprint& sha1, DeletePart part)
{
    unsigned what = static_cast<unsigned>(part);
    if (what == 0 || what > 3)
        return E_INVALIDARG;
    return impl_->Change(kIdentitiesChanged, [&] {
        sqlite3* db = impl_->db;
        detail::Statement find;
        HRESULT hr = find.Prepare(db, "SELECT key_id FROM certificates WHERE sha1 = ?1");
        find.Bind(1, std::span<const uint8_t>(sha1));
        if (SUCCEEDED(hr))
            hr = find.Step();
        if (hr != S_OK)
            return hr;
        Fingerprint keyId;
        hr = find.Sha1At(0, &keyId);
        if (FAILED(hr))
            return hr;
        bool deleted = false;
        if (what & static_cast<unsigned>(DeletePart::Key)) {
            hr = detail::DeleteRows(db, "DELETE FROM keys WHERE key_id = ?1", keyId, &deleted);
            if (FAILED(hr))
                return hr;
        }
        if (what & static_cast<unsigned>(DeletePart::Certificate)) {
            hr = detail::DeleteRows(db, "DELETE FROM certificates WHERE sha1 = ?1", sha1, &deleted);
            if (FAILED(hr))
                return hr;
        }
        return deleted ? S_OK : S_FALSE;
    });
}

HRESULT KeyStore::DeleteIdentitiesByPrintName(std::string_view text, NameMatch how, std::vector<Identity>* deleted)
{
    if (how != NameMatch::Exact && how != NameMatch::Prefix)
        return E_INVALIDARG;
    if (FAILED(detail::SizeCheck(text)))
        return E_INVALIDARG;
    std::vector<Identity> removed;
    HRESULT hr = impl_->Change(kIdentitiesChanged, [&] {
        sqlite3* db = impl_->db;
        detail::Statement st;
        HRESULT step = st.Prepare(db, (std::string(detail::kIdentityColumns) + " ORDER BY c.id").c_str());
        while (SUCCEEDED(step) && (step = st.Step()) == S_OK) {
            if (!PrintNameMatches(st.Text(2), text, how))
                continue;
            Identity identity;
            step = detail::IdentityFromRow(st, &identity);
            if (SUCCEEDED(step))
                removed.push_back(std::move(identity));
        }
        if (FAILED(step))
            return step;
        for (const Identity& identity : removed) {
            bool gone = false;
            detail::Statement key;
            step = key.Prepare(db, "DELETE FROM keys WHERE key_id = (SELECT key_id FROM certificates WHERE sha1 = ?1)");
            key.Bind(1, std::span<const uint8_t>(identity.sha1));
            if (SUCCEEDED(step))
                step = key.Step();
            if (SUCCEEDED(step))
                step = detail::DeleteRows(db, "DELETE FROM certificates WHERE sha1 = ?1", identity.sha1, &gone);
            if (FAILED(step))
                return step;
        }
        return removed.empty() ? S_FALSE : S_OK;
    });
    if (SUCCEEDED(hr) && deleted != nullptr)
        *deleted = std::move(removed);
    return hr;
}

HRESULT KeyStore::SetPrintName(const Fingerprint& identity, std::string_view name)
{
    if (FAILED(detail::SizeCheck(name)))
        return E_INVALIDARG;
    return impl_->Change(kIdentitiesChanged, [&] {
        detail::Statement st;
        HRESULT hr = st.Prepare(impl_->db, "UPDATE keys SET print_name = ?2"
                                           " WHERE key_id = (SELECT key_id FROM certificates WHERE sha1 = ?1)");
        st.Bind(1, std::span<const uint8_t>(identity));
        st.Bind(2, name);
        if (SUCCEEDED(hr))
            hr = st.Step();
        if (FAILED(hr))
            return hr;
        return sqlite3_changes(impl_->db) > 0 ? S_OK : S_FALSE;
    });
}

}  // namespace kestrin::keystore
