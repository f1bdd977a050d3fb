// An attribute chain of fixed capacity built on the stack: N records linked
// in order. Further Add calls once N are used are ignored; owned values are
// freed through their type's table when the chain goes.
#pragma once

#include <cstdint>

#include "qevcrypto.h"

namespace ZELK::PSESVC {

template <unsigned N>
class Attr {
public:
    Attr() = default;
    ~Attr()
    {
        for (SECAttribute* a = m_records; a != nullptr; a = a->next) {
            if (a->owned && a->value && a->type && a->type->free)
                a->type->free(a->value);
            a->value = nullptr;
            if (a->next == nullptr)
                break;
        }
    }
    Attr(const Attr&) = delete;
    Attr& operator=(const Attr&) = delete;

    void Add(uint32_t id, const void* value)
    {
        if (m_count >= N)
            return;
        SECAttribute& record = m_records[m_count];
        record.id = id;
        record.value = const_cast<void*>(value);
        if (m_count > 0)
            m_records[m_count - 1].next = &record;
        ++m_count;
    }

    operator SECAttribute*() { return m_count ? m_records : nullptr; }

private:
    SECAttribute m_records[N] = {};
    uint32_t m_count = 0;
};

}  // namespace ZELK::PSESVC
