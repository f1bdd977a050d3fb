#include "reader_manager.h"

#include <cstring>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_trace.h"
#include "zelkpse.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.readermgr", &CSingletonFactoryImpl<CReaderMgr>::New);

bool StartsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::atomic<int> CReaderMgr::s_scanPollMilliseconds {100};

CReaderMgr::CReaderMgr()
{
    ZELK_CreateObject("zelk", "zelk.readersinfo", IID_CModelReaders, reinterpret_cast<void**>(&m_model));
}

CReaderMgr::~CReaderMgr() = default;

HRESULT CReaderMgr::GetExisting(CReaderMgr** out)
{
    *out = nullptr;
    CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CReaderMgr::ReaderEvent(EVENT event, const char* reader, unsigned long value)
{
    SECTRACE_FormatLn(nullptr, 4, "CReaderMgr::ReaderEvent(%8.8x, \"%s\")", static_cast<unsigned>(event),
                      reader ? reader : "");
    if (m_finalized)
        return S_FALSE;
    // Scan and busy events name no reader; the others need one.
    bool named = event == READER_REMOVED || event == READER_ADDED || event == CARD_REMOVED || event == CARD_INSERTED
                 || event == CARD_CHANGED;
    if (named && reader == nullptr)
        return E_INVALIDARG;
    ZELK_PTR(CModelReader) model;
    if (m_model && reader)
        m_model->GetReader(reader, &model);
    switch (event) {
    case READER_REMOVED:
        ForwardEvent(READER_REMOVED, reader);
        ReaderDel(reader);
        break;
    case READER_ADDED:
        ReaderAdd(reader);
        ForwardEvent(READER_ADDED, reader);
        break;
    case SCAN_STARTED:
        m_readersScanned = false;
        m_cardsScanned = false;
        break;
    case READERS_SCANNED:
        m_readersScanned = true;
        break;
    case CARD_REMOVED:
        ForwardEvent(CARD_REMOVED, reader);
        SetAtr(model, nullptr);
        break;
    case CARD_INSERTED:
        SetAtr(model, reinterpret_cast<const char*>(value));
        ForwardEvent(CARD_INSERTED, reader);
        break;
    case CARD_CHANGED:
        ForwardEvent(CARD_CHANGED, reader);
        break;
    case CARDS_SCANNED:
        m_cardsScanned = true;
        break;
    case BUSY:
        m_busy = true;
        break;
    case NOT_BUSY:
        m_busy = false;
        break;
    }
    return S_OK;
}

long CReaderMgr::Find(const char* name, SecSlot** out)
{
    for (uint64_t i = 0; i < m_slots.Count(); ++i) {
        SecSlot* slot = m_slots[i];
        const char* slotName = nullptr;
        if (SUCCEEDED(slot->getSlotName(&slotName)) && slotName && std::strcmp(slotName, name) == 0) {
            if (out) {
                slot->AddRef();
                *out = slot;
            }
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Look-up and change are one hold of the list lock, so that two threads
// adding one name leave one slot.
HRESULT CReaderMgr::ReaderAdd(const char* name)
{
    if (m_finalized)
        return S_FALSE;
    if (name == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csList);
    if (Find(name, nullptr) >= 0)
        return S_OK;
    if (StartsWith(name, "secpcsc:") && m_model)
        m_model->AddReader(name, nullptr);
    SecSlot* slot = nullptr;
    ZELKPSE::getSlotByReader(&slot, name, true);
    if (slot) {
        m_slots.Add(slot);
        slot->Release();
    }
    return S_OK;
}

// The slot is removed by itself, not by a position found in an earlier hold.
HRESULT CReaderMgr::ReaderDel(const char* name)
{
    if (m_finalized)
        return S_FALSE;
    if (name == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csList);
    SecSlot* slot = nullptr;
    if (Find(name, &slot) < 0)
        return S_OK;
    if (m_model)
        m_model->DelReader(name);
    if (!StartsWith(name, "tokkeychain:"))
        slot->releaseToken();
    m_slots.Delete(slot);
    slot->Release();
    return S_OK;
}

long CReaderMgr::ReaderGet(const char* name, SecSlot** out)
{
    if (out)
        *out = nullptr;
    if (m_finalized)
        return -1;
    if (name == nullptr)
        return E_INVALIDARG;
    CriticalCodeSection lock(&m_csList);
    return Find(name, out);
}

HRESULT CReaderMgr::Initialize()
{
    CSingletonFactoryImpl<CReaderMgr>::Initialize();
    m_readersScanned = true;
    m_cardsScanned = true;
    return S_OK;
}

HRESULT CReaderMgr::Finalize()
{
    m_finalized = true;
    {
        CriticalCodeSection lock(&m_csList);
        m_slots.Free();
    }
    if (m_model)
        m_model->DeleteAllElements();
    return CSingletonFactoryImpl<CReaderMgr>::Finalize();
}

HRESULT CReaderMgr::RegisterEventSink(IUnknown* sink)
{
    CriticalCodeSection lock(&m_csSink);
    m_sink = sink;
    return S_OK;
}

HRESULT CReaderMgr::UnregisterEventSink(IUnknown*)
{
    CriticalCodeSection lock(&m_csSink);
    m_sink = static_cast<ISlotEvents*>(nullptr);
    return S_OK;
}

HRESULT CReaderMgr::WaitForScan(signed char full)
{
    for (;;) {
        if (m_finalized)
            return E_ABORT;
        if (!m_busy) {
            if (m_cardsScanned)
                return S_OK;
            if (!full && m_readersScanned)
                return S_OK;
        }
        Sleep(s_scanPollMilliseconds);
    }
}

HRESULT CReaderMgr::getSlots(SecSlot** slots, unsigned long* count)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CReaderMgr::getSlots");
    if (count == nullptr)
        return trace.result = -1;
    if (m_finalized) {
        *count = 0;
        return trace.result = -1;
    }
    WaitForScan(false);
    CriticalCodeSection lock(&m_csList);
    if (slots == nullptr) {
        *count = static_cast<unsigned long>(m_slots.Count());
        return trace.result = S_OK;
    }
    unsigned long stored = 0;
    for (; stored < *count && stored < m_slots.Count(); ++stored) {
        slots[stored] = m_slots[stored];
        slots[stored]->AddRef();
    }
    *count = stored;
    return trace.result = S_OK;
}

long CReaderMgr::getSlotByName(SecSlot** out, const char* name, unsigned char)
{
    WaitForScan(false);
    if (name == nullptr)
        return E_INVALIDARG;
    if (std::strncmp(name, "secpcsc:", 8) != 0)
        return S_OK;
    SecSlot* slot = nullptr;
    long position = ReaderGet(name, &slot);
    if (out)
        *out = slot;
    else if (slot)
        slot->Release();
    return position;
}

HRESULT CReaderMgr::SetAtr(CModelReader* model, const char* atr)
{
    if (model == nullptr)
        return S_FALSE;
    model->SetAtr(atr);
    char* info = nullptr;
    ZELKPSE::GetConnectionInfo(&info);
    model->SetConnectionInfo(info);
    sec_free(info);
    return S_OK;
}

HRESULT CReaderMgr::ForwardEvent(EVENT event, const char* name)
{
    {
        CriticalCodeSection lock(&m_csSink);
        if (!m_sink)
            return S_FALSE;
    }
    SecSlot* found = nullptr;
    ReaderGet(name, &found);
    if (found == nullptr)
        return S_FALSE;
    ZELK_PTR(SecSlot) slot;
    slot.Attach(found);
    SecSlot* queried = nullptr;
    if (SUCCEEDED(found->QueryInterface(IID_SecSlot, reinterpret_cast<void**>(&queried))) && queried) {
        if (event == READER_REMOVED || event == CARD_REMOVED)
            queried->releaseToken();
        queried->Release();
    }
    CriticalCodeSection lock(&m_csSink);
    if (!m_sink)
        return S_FALSE;
    return m_sink->SlotEvent(static_cast<ISlotEvents::EVENT>(event), slot);
}

}  // namespace ZELK::PSESVC
