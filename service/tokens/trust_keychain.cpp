#include "trust_keychain.h"

#include <map>
#include <mutex>
#include <vector>

#include "../core/zelkpse_lists.h"
#include "zelk_holders.h"

namespace ZELK::PSESVC {
namespace {

using kestrin::keystore::Fingerprint;
using kestrin::keystore::KeyStore;
using kestrin::keystore::kTrustChanged;
using kestrin::keystore::Options;
using kestrin::keystore::TrustDomain;
using kestrin::keystore::TrustSetting;

std::mutex s_anchorsLock;
std::string s_anchors = Options {}.systemAnchors;

std::string Anchors()
{
    std::lock_guard<std::mutex> lock(s_anchorsLock);
    return s_anchors;
}

// The crypto library's certificate of DER bytes; NULL when they do not decode.
::Certificate* Decode(const std::vector<uint8_t>& der)
{
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    if (type == nullptr || der.empty())
        return nullptr;
    OctetString bytes {der.size(), const_cast<uint8_t*>(der.data())};
    ::Certificate* certificate = nullptr;
    if (FAILED(type->decode(&bytes, reinterpret_cast<void**>(&certificate))))
        return nullptr;
    return certificate;
}

}  // namespace

CTrustKeychain::~CTrustKeychain()
{
    m_changes.Reset();
    ReleaseCertList(m_list);
}

HRESULT CTrustKeychain::Finalize()
{
    m_changes.Reset();
    return CSingletonFactoryImpl<CTrustKeychain>::Finalize();
}

HRESULT CTrustKeychain::SetURI(const char*)
{
    return S_OK;
}

void CTrustKeychain::SetSystemAnchors(const std::string& where)
{
    std::lock_guard<std::mutex> lock(s_anchorsLock);
    s_anchors = where;
}

HRESULT CTrustKeychain::SetDirty()
{
    CriticalCodeSection lock(&s_cs);
    if (s_pThis != nullptr)
        s_pThis->m_dirty = true;
    return S_OK;
}

HRESULT CTrustKeychain::Refresh()
{
    // Cleared before reading, so that a change seen meanwhile reads again.
    if (!m_dirty.exchange(false))
        return 1;
    Load();
    return S_OK;
}

void CTrustKeychain::Load()
{
    ReleaseCertList(m_list);
    if (!m_store) {
        Options options;
        options.systemAnchors = Anchors();
        if (FAILED(KeyStore::Open(options, &m_store)))
            return;
        m_store->Subscribe(
            kTrustChanged, [](unsigned) { SetDirty(); }, &m_changes);
    }
    // The first domain that says "trusted" or "deny" decides.
    std::map<Fingerprint, bool> decided;
    std::vector<const kestrin::keystore::Certificate*> trusted;
    std::vector<kestrin::keystore::Certificate> domains[3];
    const TrustDomain order[3] = {TrustDomain::User, TrustDomain::Admin, TrustDomain::System};
    for (int d = 0; d < 3; ++d) {
        if (m_store->ListTrustCertificates(order[d], &domains[d]) != S_OK)
            continue;
        for (const kestrin::keystore::Certificate& c : domains[d]) {
            TrustSetting setting = TrustSetting::Unspecified;
            if (decided.contains(c.sha1) || m_store->GetTrustSetting(order[d], c.sha1, &setting) != S_OK
                || setting == TrustSetting::Unspecified)
                continue;
            decided[c.sha1] = setting == TrustSetting::Trusted;
            if (setting == TrustSetting::Trusted)
                trusted.push_back(&c);
        }
    }
    std::vector<kestrin::keystore::Certificate> bundle;
    if (m_store->ListSystemAnchors(&bundle) == S_OK)
        for (const kestrin::keystore::Certificate& c : bundle)
            if (decided.emplace(c.sha1, true).second)
                trusted.push_back(&c);
    SET_OF_Certificate* list = nullptr;
    SET_OF_Certificate** cursor = &list;
    for (const kestrin::keystore::Certificate* c : trusted) {
        ::Certificate* certificate = Decode(c->der);
        if (certificate == nullptr)
            continue;
        AppendCertificate(cursor, certificate);
        certificate->Release();
    }
    m_list = list;
}

HRESULT CTrustKeychain::GetCertList(SET_OF_Certificate** list)
{
    ShareCertList(m_list, list);
    return S_OK;
}

}  // namespace ZELK::PSESVC
