// A slot-event sink that records what reaches it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "service_events.h"
#include "zelk_object.h"

namespace kestrin::service::test {

class RecordingSink : public ZELK::PSESVC::ISlotEvents, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(RecordingSink)
    ZELK_INTMAP_ENTRY(ISlotEvents)
    ZELK_END_INTMAP()

    HRESULT SlotEvent(EVENT event, SecSlot* slot) override
    {
        const char* name = nullptr;
        if (slot)
            slot->getSlotName(&name);
        std::lock_guard<std::mutex> lock(m_mutex);
        char text[16];
        std::snprintf(text, sizeof text, "%x ", static_cast<unsigned>(event));
        m_events.push_back(m_tag + text + (name ? name : "(null)"));
        if (m_log)
            m_log->push_back(m_events.back());
        return S_OK;
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    std::string m_tag;
    std::vector<std::string>* m_log = nullptr;

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

}  // namespace kestrin::service::test
