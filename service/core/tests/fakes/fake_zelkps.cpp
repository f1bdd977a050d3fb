// Module "zelkps" of the service's test tree: a remoting stub that answers
// every request with what it serves, "<type of its PSE>@<its PSE's address>:"
// followed by the request, and nothing further; the request "slots" is
// answered with the names of its PSE's slots, one per line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_object.h"
#include "zelk_pseproxy.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::ITunnelPSE;

class FakeStub : public ITunnelPSE, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeStub)
    ZELK_INTMAP_ENTRY_IID(ZELK::PSESVC::IID_ITunnelPSE, ITunnelPSE)
    ZELK_INTMAP_ENTRY_IID(IID_ITunnel, ITunnel)
    ZELK_END_INTMAP()

    ~FakeStub() override
    {
        if (m_pse)
            m_pse->Release();
        if (m_callback)
            m_callback->Release();
    }

    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override
    {
        if (inLength == 5 && std::memcmp(in, "slots", 5) == 0)
            return Reply(SlotNames(), out, outLength);
        char head[64];
        int n =
            std::snprintf(head, sizeof head, "%s@%p:", m_pse ? m_pse->getType() : "none", static_cast<void*>(m_pse));
        unsigned long length = static_cast<unsigned long>(n) + inLength;
        // The request may sit in the reply buffer: it is read before that goes.
        auto* reply = static_cast<unsigned char*>(sec_malloc(length));
        if (reply == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(reply, head, static_cast<size_t>(n));
        if (inLength)
            std::memcpy(reply + n, in, inLength);
        sec_free(*out);
        *out = reply;
        *outLength = length;
        return S_OK;
    }
    HRESULT Disconnect() override { return S_OK; }
    HRESULT SetPSE(PSE* pse) override
    {
        if (pse)
            pse->AddRef();
        if (m_pse)
            m_pse->Release();
        m_pse = pse;
        return S_OK;
    }
    HRESULT SetCallback(ITunnelCallback* callback) override
    {
        if (callback)
            callback->AddRef();
        if (m_callback)
            m_callback->Release();
        m_callback = callback;
        return S_OK;
    }

private:
    std::string SlotNames()
    {
        std::string names;
        unsigned long count = 0;
        if (m_pse == nullptr || FAILED(m_pse->getSlots(nullptr, &count)) || count == 0)
            return names;
        std::vector<SecSlot*> slots(count, nullptr);
        if (SUCCEEDED(m_pse->getSlots(slots.data(), &count))) {
            for (unsigned long i = 0; i < count && i < slots.size(); ++i) {
                const char* name = nullptr;
                if (slots[i] && SUCCEEDED(slots[i]->getSlotName(&name)) && name)
                    names += std::string(name) + "\n";
            }
        }
        for (SecSlot* slot : slots)
            if (slot)
                slot->Release();
        return names;
    }
    static HRESULT Reply(const std::string& text, unsigned char** out, unsigned long* outLength)
    {
        auto* reply = static_cast<unsigned char*>(sec_malloc(text.size() + 1));
        if (reply == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(reply, text.data(), text.size());
        sec_free(*out);
        *out = reply;
        *outLength = static_cast<unsigned long>(text.size());
        return S_OK;
    }

    PSE* m_pse = nullptr;
    ITunnelCallback* m_callback = nullptr;
};

CZELK_CLASS s_stub("zelkps", "zelk.pseproxy.stub", &CFactoryImpl<FakeStub>::New);

}  // namespace
}  // namespace kestrin::service::test
