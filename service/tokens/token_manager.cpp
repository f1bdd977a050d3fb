#include "token_manager.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "../core/monitor.h"
#include "../core/reader_manager.h"
#include "../core/zelkpse_lists.h"
#include "../model/model_owncerts.h"
#include "../model/model_readers.h"
#include "token_common.h"
#include "token_keychain.h"
#include "token_pcsc.h"
#include "zelk_class.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.tokenmgr", &CSingletonFactoryImpl<CTokenMgr>::New);

constexpr char kProfilePrefix[] = "toksw:mem://kestrin/";
constexpr char kCardPrefix[] = "secpcsc:";

std::atomic<ProfileTokenCreator> s_profileCreator {nullptr};

struct ReleaseItem {
    void operator()(CModelToken* item) const { static_cast<IGUIModelToken*>(item)->Release(); }
};
using ItemRef = std::unique_ptr<CModelToken, ReleaseItem>;

// A card reader reports the card before the card can answer.
void WaitForCard(const char* slotName)
{
    if (slotName != nullptr && std::strncmp(slotName, kCardPrefix, sizeof kCardPrefix - 1) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// The reader item's name is the token URI; an unnamed item leaves the slot's.
void TakeReaderName(CModelReader* reader, StringT<char>& uri)
{
    const char* name = reader->GetReaderName();
    if (name != nullptr && *name != '\0')
        uri = name;
}

HRESULT NewTokenObject(const char* uri, CToken** out)
{
    if (String_StartsWithNoCase(uri, kProfilePrefix)) {
        ProfileTokenCreator creator = s_profileCreator.load();
        return creator != nullptr ? creator(uri, out) : E_FAIL;
    }
    if (String_StartsWithNoCase(uri, "tokkeychain:"))
        return CToken_Keychain::New(out);
    if (String_StartsWithNoCase(uri, kCardPrefix))
        return CToken_PCSC::New(out);
    return CTokenCommon::New(out);
}

}  // namespace

void CTokenMgr::SetProfileTokenCreator(ProfileTokenCreator creator)
{
    s_profileCreator.store(creator);
}

CTokenMgr::~CTokenMgr()
{
    if (m_readerMgr)
        m_readerMgr->Release();
}

HRESULT CTokenMgr::Initialize()
{
    CReaderMgr* readerMgr = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<CReaderMgr>::New(&readerMgr)) && readerMgr) {
        m_readerMgr = readerMgr;
        m_readerMgr->RegisterEventSink(static_cast<ISlotEvents*>(this));
    }
    CSingletonFactoryImpl<CModelTokens>::New(&m_modelTokens);
    CSingletonFactoryImpl<CModelOwnCerts>::New(&m_modelOwnCerts);
    return S_OK;
}

// The tokens are logged out and released here, while the crypto library that
// holds their objects is still loaded.
HRESULT CTokenMgr::Finalize()
{
    if (m_readerMgr) {
        m_readerMgr->UnregisterEventSink(static_cast<ISlotEvents*>(this));
        m_readerMgr->Release();
        m_readerMgr = nullptr;
    }
    AuxRefArray<CToken> tokens;
    AuxRefArray<CToken> forced;
    Snapshot(m_csTokens, m_apTokens, tokens);
    Snapshot(m_csTokens, m_apForcedTokens, forced);
    for (uint64_t i = 0; i < tokens.Count(); ++i)
        tokens[i]->Logout(nullptr);
    for (uint64_t i = 0; i < forced.Count(); ++i)
        forced[i]->Logout(nullptr);
    if (m_modelTokens) {
        m_modelTokens->DeleteAllElements();
        static_cast<IGUIModelTokens*>(m_modelTokens)->Release();
        m_modelTokens = nullptr;
    }
    if (m_modelOwnCerts) {
        m_modelOwnCerts->DeleteAllElements();
        static_cast<IGUIModelOwnCerts*>(m_modelOwnCerts)->Release();
        m_modelOwnCerts = nullptr;
    }
    {
        CriticalCodeSection lock(&m_csTokens);
        {
            CriticalCodeSection profiles(&m_csProfileTokens);
            m_apProfileTokens.Free();
        }
        m_apTokens.Free();
        m_apForcedTokens.Free();
    }
    {
        CriticalCodeSection lock(&m_csSinks);
        m_sinks.Free();
    }
    return CSingletonFactoryImpl<CTokenMgr>::Finalize();
}

HRESULT CTokenMgr::SlotEvent(EVENT event, SecSlot* slot)
{
    switch (event) {
    case CARD_REMOVED:
        CardRemove(slot);
        ForwardEvent(event, slot);
        break;
    case CARD_INSERTED:
        ForwardEvent(event, slot);
        CardInsert(slot, false);
        break;
    case CARD_CHANGED:
        CardInsert(slot, true);
        break;
    default:
        ForwardEvent(event, slot);
        break;
    }
    return S_OK;
}

// The sinks are called without the lock: a sink may register or unregister
// sinks, or wait on another thread that raises an event.
HRESULT CTokenMgr::ForwardEvent(EVENT event, SecSlot* slot)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::ForwardEvent");
    AuxRefArray<ISlotEvents> sinks;
    {
        CriticalCodeSection lock(&m_csSinks);
        for (uint64_t i = 0; i < m_sinks.Count(); ++i)
            sinks.Add(m_sinks[i]);
    }
    for (uint64_t i = 0; i < sinks.Count(); ++i)
        sinks[i]->SlotEvent(event, slot);
    return S_OK;
}

HRESULT CTokenMgr::RegisterEventSink(IUnknown* sink)
{
    ZELK_PTR(ISlotEvents) events(sink);
    if (!events)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csSinks);
    m_sinks.Add(events);
    return S_OK;
}

HRESULT CTokenMgr::UnregisterEventSink(IUnknown* sink)
{
    ZELK_PTR(ISlotEvents) events(sink);
    if (!events)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csSinks);
    while (m_sinks.Delete(events)) {
    }
    return S_OK;
}

HRESULT CTokenMgr::GetReaderInfo(SecSlot* slot, CModelReader** reader)
{
    if (reader == nullptr)
        return ZELK_RC(0x80040003);
    *reader = nullptr;
    const char* name = nullptr;
    if (slot == nullptr || FAILED(slot->getSlotName(&name)) || name == nullptr)
        return S_FALSE;
    CModelReaders* readers = nullptr;
    if (FAILED(ZELK_CreateObject("zelk", "zelk.readersinfo", IID_CModelReaders, reinterpret_cast<void**>(&readers)))
        || readers == nullptr)
        return S_FALSE;
    HRESULT hr = readers->GetReader(name, reader);
    static_cast<IGUIModelReaders*>(readers)->Release();
    return hr;
}

HRESULT CTokenMgr::CardInsert(SecSlot* slot, bool forced)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::CardInsert");
    if (slot == nullptr)
        return trace.result = E_FAIL;
    const char* slotName = nullptr;
    slot->getSlotName(&slotName);
    WaitForCard(slotName);
    AuxRefPtr<SecToken> token;
    if (slot->tokenInserted() == S_OK) {
        WaitForCard(slotName);
        SecToken* fresh = nullptr;
        if (SUCCEEDED(slot->getToken(&fresh)))
            token.Attach(fresh);
    }
    if (!token)
        return trace.result = E_FAIL;
    const char* tokenName = nullptr;
    token->getTokenName(&tokenName);
    CModelToken* rawItem = nullptr;
    if (CModelTokens::NewTokenInfo(tokenName, &rawItem) != S_OK || rawItem == nullptr)
        return trace.result = E_FAIL;
    ItemRef item(rawItem);

    StringT<char> uri(slotName);
    CModelReader* rawReader = nullptr;
    if (GetReaderInfo(slot, &rawReader) == S_OK && rawReader != nullptr) {
        const char* profile = nullptr;
        const char* serial = nullptr;
        token->getTokenProfile(&profile);
        token->getSerialNumber(&serial);
        rawReader->SetCardType(profile);
        rawReader->SetCardSerialNumber(serial);
        rawReader->SetTokenInfo(item.get());
        TakeReaderName(rawReader, uri);
        static_cast<IGUIModelReader*>(rawReader)->Release();
    }

    CToken* existing = nullptr;
    if (GetTokenByName(uri, &existing) == S_OK) {
        existing->Release();
    } else {
        CToken* created = nullptr;
        HRESULT hr = NewTokenObject(uri, &created);
        if (FAILED(hr) || created == nullptr) {
            SECTRACE_FormatLn(nullptr, 1, "No token object for URI '%s': %08x", static_cast<const char*>(uri), hr);
            return trace.result = FAILED(hr) ? hr : E_FAIL;
        }
        AuxRefPtr<CToken> object;
        object.Attach(created);
        CriticalCodeSection lock(&m_csTokens);
        object->Init(token, item.get(), uri);
        if (String_StartsWithNoCase(uri, "tokcapi:")) {
            SET_OF_PersonalCertificateInfo* list = nullptr;
            object->GetPCI(&list);
            bool empty = list == nullptr;
            FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, list);
            if (empty) {
                SECTRACE_FormatLn(nullptr, 1, "Token with URI '%s' disappeared while trying to get token content!",
                                  static_cast<const char*>(uri));
                slot->releaseToken();
                return trace.result = S_FALSE;
            }
        }
        (forced ? m_apForcedTokens : m_apTokens).Add(object);
        object->RegisterOwnCerts(forced);
        if (String_StartsWithNoCase(uri, kProfilePrefix)) {
            CriticalCodeSection profiles(&m_csProfileTokens);
            m_apProfileTokens.Add(object);
        }
    }
    CModelTokens::RegisterToken(item.get());
    return trace.result = S_OK;
}

// The token is logged out after it left the lists, without the manager's
// lock: a logout waits for the token's running verb.
HRESULT CTokenMgr::CardRemove(SecSlot* slot)
{
    if (slot == nullptr)
        return S_FALSE;
    const char* slotName = nullptr;
    slot->getSlotName(&slotName);
    StringT<char> uri(slotName);
    CModelReader* rawReader = nullptr;
    if (GetReaderInfo(slot, &rawReader) == S_OK && rawReader != nullptr) {
        CriticalCodeSection lock(&m_csTokens);
        TakeReaderName(rawReader, uri);
        rawReader->SetCardType(nullptr);
        rawReader->SetCardSerialNumber(nullptr);
        rawReader->SetTokenInfo(nullptr);
        static_cast<IGUIModelReader*>(rawReader)->Release();
    }
    AuxRefPtr<CToken> removed;
    {
        CriticalCodeSection lock(&m_csTokens);
        for (uint64_t i = 0; i < m_apTokens.Count(); ++i) {
            if (m_apTokens[i]->IsInReader(uri)) {
                removed = m_apTokens[i];
                break;
            }
        }
        if (removed) {
            CModelToken* item = nullptr;
            if (SUCCEEDED(removed->GetTokenModel(&item)) && item != nullptr) {
                CModelTokens* modelTokens = nullptr;
                if (SUCCEEDED(CSingletonFactoryImpl<CModelTokens>::New(&modelTokens)) && modelTokens) {
                    modelTokens->DelToken(item->GetTokenName());
                    static_cast<IGUIModelTokens*>(modelTokens)->Release();
                }
                static_cast<IGUIModelToken*>(item)->Release();
            }
            {
                CriticalCodeSection profiles(&m_csProfileTokens);
                while (m_apProfileTokens.Delete(removed)) {
                }
            }
            while (m_apTokens.Delete(removed)) {
            }
        }
        CModelOwnCerts* ownCerts = nullptr;
        if (SUCCEEDED(CSingletonFactoryImpl<CModelOwnCerts>::New(&ownCerts)) && ownCerts) {
            ownCerts->DelCertsBySlot(uri);
            static_cast<IGUIModelOwnCerts*>(ownCerts)->Release();
        }
    }
    if (removed)
        removed->Logout(nullptr);
    return S_OK;
}

HRESULT CTokenMgr::GetExisting(CTokenMgr** out)
{
    *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CTokenMgr::WaitForAllMonitors()
{
    if (m_readerMgr)
        m_readerMgr->WaitForScan(true);
    CMonitor::WaitForAllInitialized();
    return S_OK;
}

}  // namespace ZELK::PSESVC
