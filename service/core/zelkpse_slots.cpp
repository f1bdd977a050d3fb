// The service PSE's slots, tokens and trusted certificates: reader slots from
// the reader manager, tokens from the token manager, trust from the trust
// store, each beside or after the real PSE's own answers.
#include "../tokens/token_manager.h"
#include "../tokens/trust.h"
#include "reader_manager.h"
#include "zelk_trace.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {

HRESULT ZELKPSE::getSlotByName(SecSlot** out, const char* name, unsigned char flag)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getSlotByName");
    if (out == nullptr || name == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    ConnectToServer(0, nullptr);
    AuxRefPtr<CReaderMgr> readers;
    if (SUCCEEDED(CSingletonFactoryImpl<CReaderMgr>::New(&readers))) {
        readers->getSlotByName(out, name, flag);
        if (*out != nullptr)
            return trace.result = S_OK;
    }
    trace.result = needRealPSE(true);
    if (FAILED(trace.result))
        return trace.result;
    PSE* real = m_realPSE.load();
    if (real == nullptr)
        return trace.result = E_PSE_NOTFOUND;
    return trace.result = real->getSlotByName(out, name, flag);
}

HRESULT ZELKPSE::getSlots(SecSlot** slots, unsigned long* count)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getSlots");
    // Nothing is written through a missing count, and the real PSE is not
    // asked to.
    if (count == nullptr) {
        needRealPSE(true);
        return trace.result = E_INVALIDARG;
    }
    unsigned long capacity = *count;
    needRealPSE(true);
    PSE* real = m_realPSE.load();
    if (real != nullptr) {
        trace.result = real->getSlots(slots, count);
    } else {
        *count = 0;
        trace.result = S_OK;
    }
    AuxRefPtr<CReaderMgr> readers;
    if (FAILED(CSingletonFactoryImpl<CReaderMgr>::New(&readers)))
        return trace.result;
    if (slots == nullptr) {
        unsigned long readerCount = 0;
        readers->getSlots(nullptr, &readerCount);
        *count += readerCount;
        return trace.result;
    }
    unsigned long remaining = capacity > *count ? capacity - *count : 0;
    if (remaining > 0) {
        readers->getSlots(slots + *count, &remaining);
        *count += remaining;
    }
    return trace.result;
}

HRESULT ZELKPSE::getTokenByName(SecToken** out, const char* name, unsigned char flag)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getTokenByName");
    if (out == nullptr || name == nullptr)
        return trace.result = E_INVALIDARG;
    *out = nullptr;
    AuxRefPtr<CTokenMgr> tokens;
    trace.result = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (SUCCEEDED(trace.result)) {
        trace.result = tokens->GetTokenByName(name, out);
        if (SUCCEEDED(trace.result))
            return trace.result;
    }
    HRESULT opened = needRealPSE(true);
    PSE* real = m_realPSE.load();
    if (FAILED(opened) || real == nullptr)
        return trace.result = FAILED(opened) ? opened : trace.result;
    return trace.result = real->getTokenByName(out, name, flag);
}

namespace {

// The trust store with one reference, NULL when it cannot be made.
HRESULT Trust(AuxRefPtr<CTrust>& trust)
{
    return CSingletonFactoryImpl<CTrust>::New(&trust);
}

}  // namespace

HRESULT ZELKPSE::isInTrustedCerts(const Certificate* certificate)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::isInTrustedCerts");
    needRealPSE(true);
    AuxRefPtr<CTrust> trust;
    trace.result = Trust(trust);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = trust->isInTrustedCerts(certificate);
}

HRESULT ZELKPSE::getAllTrustedCerts(SET_OF_Certificate** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getAllTrustedCerts");
    needRealPSE(true);
    AuxRefPtr<CTrust> trust;
    trace.result = Trust(trust);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = trust->getAllTrustedCerts(out);
}

HRESULT ZELKPSE::getTrustedCertList(SET_OF_Certificate** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::getTrustedCertList");
    needRealPSE(true);
    AuxRefPtr<CTrust> trust;
    trace.result = Trust(trust);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = trust->getTrustedCertList(out);
}

HRESULT ZELKPSE::addTrustedCertListItem(const Certificate* certificate)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::addTrustedCertListItem");
    trace.result = needRealPSE(false);
    PSE* real = m_realPSE.load();
    if (FAILED(trace.result) || real == nullptr)
        return trace.result;
    trace.result = real->addTrustedCertListItem(certificate);
    if (SUCCEEDED(trace.result))
        updateTrust();
    return trace.result;
}

HRESULT ZELKPSE::deleteTrustedCertListItem(const DName* name, unsigned long number)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::deleteTrustedCertListItem");
    trace.result = needRealPSE(false);
    PSE* real = m_realPSE.load();
    if (FAILED(trace.result) || real == nullptr)
        return trace.result;
    trace.result = real->deleteTrustedCertListItem(name, number);
    if (SUCCEEDED(trace.result))
        updateTrust();
    return trace.result;
}

}  // namespace ZELK::PSESVC
