#include "keychain_pse.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kerberos_util.h"
#include "qev_kerberos.h"
#include "zelk_module.h"

namespace ZELK::ZELKPSE {
namespace {

constexpr const char* kNoTokenName = "tokkeychain:-";
constexpr const char* kKerberosPrefix = "Kerberos-";
constexpr auto kPollInterval = std::chrono::milliseconds(100);

API_COMMON* s_kerberos = nullptr;
CLoadAPI s_loadKerberos(nullptr, SEC_KERBEROS_API, &s_kerberos);

::Certificate* DecodeCertificate(const std::vector<uint8_t>& der)
{
    const SEC_TYPE_TABLE* table = TypeTable(SEC_TYPE_Certificate);
    if (table == nullptr || table->decode == nullptr || der.empty())
        return nullptr;
    OctetString bytes {der.size(), const_cast<unsigned char*>(der.data())};
    void* certificate = nullptr;
    if (FAILED(table->decode(&bytes, &certificate)))
        return nullptr;
    return static_cast<::Certificate*>(certificate);
}

}  // namespace

HRESULT PSEKeychain::New(const char* name, PSE** out)
{
    if (name == nullptr || out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    HRESULT hr = ZELK_GetAPI_SEC_PSE();
    if (FAILED(hr))
        return hr;
    CComObject<PSEKeychain>* pse = nullptr;
    hr = CComObject<PSEKeychain>::CreateInstance(&pse);
    if (FAILED(hr))
        return hr;
    pse->AddRef();
    hr = pse->Init(name);
    if (FAILED(hr)) {
        pse->Release();
        return hr;
    }
    *out = pse;
    return S_OK;
}

HRESULT PSEKeychain::Init(const char* name)
{
    try {
        m_name = name;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    m_noToken = m_name == kNoTokenName;
    // A slot that cannot be opened leaves a PSE without token.
    if (!m_noToken)
        Token::Init(name, false);
    if (SUCCEEDED(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &m_store)) && m_store) {
        ReadTrustSettings();
        m_store->Subscribe(
            kestrin::keystore::kIdentitiesChanged, [this](unsigned) { ++m_changes; }, &m_subscription);
    }
    return S_OK;
}

// Certificates that a domain trusts as roots, user before admin before
// system; one that several domains trust appears once per domain. Settings
// that deny trust or leave it unspecified add nothing.
void PSEKeychain::ReadTrustSettings()
{
    using kestrin::keystore::TrustDomain;
    using kestrin::keystore::TrustSetting;
    SET_OF_Certificate** cursor = ListTail(m_trusted.out());
    for (TrustDomain domain : {TrustDomain::User, TrustDomain::Admin, TrustDomain::System}) {
        std::vector<kestrin::keystore::Certificate> certificates;
        if (m_store->ListTrustCertificates(domain, &certificates) != S_OK)
            continue;
        for (const auto& entry : certificates) {
            TrustSetting setting = TrustSetting::Unspecified;
            if (m_store->GetTrustSetting(domain, entry.sha1, &setting) != S_OK || setting != TrustSetting::Trusted)
                continue;
            ::Certificate* certificate = DecodeCertificate(entry.der);
            if (certificate == nullptr)
                continue;
            HRESULT hr = AppendCertificate(cursor, certificate);
            certificate->Release();
            if (FAILED(hr))
                return;
        }
    }
}

HRESULT PSEKeychain::getOwnCertificate(const History* history, SECAttribute* filter,
                                       SET_OF_PersonalCertificateInfo** out)
{
    if (!m_noToken)
        Token::Init(m_name.c_str(), false);
    return Base::getOwnCertificate(history, filter, out);
}

HRESULT PSEKeychain::getSlots(SecSlot** slots, unsigned long* count)
{
    if (!m_noToken)
        Token::Init(m_name.c_str(), false);
    return Base::getSlots(slots, count);
}

HRESULT PSEKeychain::getSlotEvents(SecSlotEvents** out)
{
    if (out == nullptr)
        return S_OK;
    *out = nullptr;
    auto* events = new (std::nothrow) CComObject<SlotEvents>(this);
    if (events == nullptr)
        return E_OUTOFMEMORY;
    events->AddRef();
    *out = events;
    return S_OK;
}

HRESULT PSEKeychain::readApplObject(const char* name, OctetString** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    if (name == nullptr || std::strncmp(name, kKerberosPrefix, std::strlen(kKerberosPrefix)) != 0)
        return E_PSE_NOTSUPPORTED;
    Owned<char, SEC_TYPE_String> subject;
    Owned<char, SEC_TYPE_String> principal;
    HRESULT hr = PSESVC::KerbUtil_parseKerberosName(name, subject.out(), principal.out());
    if (FAILED(hr))
        return hr;
    const auto* kerberos = ZELK_ApiCast<SEC_KERBEROS_TABLE>(s_kerberos);
    Owned<OctetString, SEC_TYPE_OctetString> ticket;
    Owned<OctetString, SEC_TYPE_OctetString> key;
    KerberosAlgorithmIdentifier algorithm = 0;
    if (kerberos != nullptr && kerberos->clientGetTicket != nullptr && principal.get() != nullptr)
        kerberos->clientGetTicket(principal.get(), ticket.out(), key.out(), &algorithm);
    if (ticket.get() == nullptr)
        return E_FAIL;
    PSESVC::KerbUtil_convertTicket2OctetString(principal.get(), ticket.get(), key.get(), static_cast<int>(algorithm),
                                               out);
    return *out != nullptr ? S_OK : E_FAIL;
}

PSEKeychain::SlotEvents::SlotEvents(PSEKeychain* owner) : m_seen(owner->ChangeCount()), m_owner(owner)
{
    m_owner->AddRef();
}

PSEKeychain::SlotEvents::~SlotEvents()
{
    m_owner->Release();
}

HRESULT PSEKeychain::SlotEvents::cpy(SecSlotEvents** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    AddRef();
    *out = this;
    return S_OK;
}

HRESULT PSEKeychain::SlotEvents::wait(unsigned long flags, SecSlot** slot)
{
    if (slot == nullptr)
        return E_PSE_NOARG;
    *slot = nullptr;
    for (;;) {
        if (m_cancelled)
            return SLOT_EVENT_CANCELLED;
        if (m_owner->ChangeCount() != m_seen)
            break;
        if (flags & SLOT_EVENT_DONT_BLOCK)
            return SLOT_EVENT_NONE;
        std::this_thread::sleep_for(kPollInterval);
    }
    m_seen = m_owner->ChangeCount();
    unsigned long count = 1;
    return m_owner->getSlots(slot, &count);
}

HRESULT PSEKeychain::SlotEvents::cancel()
{
    m_cancelled = true;
    return S_OK;
}

}  // namespace ZELK::ZELKPSE
