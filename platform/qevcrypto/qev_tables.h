// The library's own function tables. Each "SEC_*" table lives in its own
// source file as one static QevTable; a slot that nothing fills answers
// 0x80000001 (qev_not_implemented).
#pragma once

#include <cstddef>
#include <initializer_list>

#include "qevcrypto.h"

// Answers 0x80000001 whatever it is called with.
extern "C" HRESULT qev_not_implemented();

// Slot 0 helper: fills each out-argument that is not NULL (module "qevcrypto").
HRESULT qev_fill_info(const char** table, const char** module, const char** description, const char* tableName,
                      const char* tableDescription);

// Any function (or data pointer, for tables of tables) as a slot value.
template <class F>
inline void* qev_slot(F* function)
{
    return reinterpret_cast<void*>(function);
}

struct QevSlotInit {
    size_t index;
    void* slot;
};

// Registration of one table; newest first.
class QevTableRegistration {
public:
    QevTableRegistration(const char* name, void** slots, size_t count);
    ~QevTableRegistration();
    QevTableRegistration(const QevTableRegistration&) = delete;
    QevTableRegistration& operator=(const QevTableRegistration&) = delete;

    const char* name;
    void** slots;
    size_t count;
    QevTableRegistration* next;
};

// Fills one slot of a table from another source file, so that the code of a
// slot can live beside its own helpers: a static object per slot. The fills
// are applied before the first table is handed out.
class QevSlotFill {
public:
    QevSlotFill(const char* table, size_t index, void* slot);
    QevSlotFill(const QevSlotFill&) = delete;
    QevSlotFill& operator=(const QevSlotFill&) = delete;

    const char* table;
    size_t index;
    void* slot;
    QevSlotFill* next;
};

// The library's table of that name (exact, case-sensitive), or NULL.
API_COMMON* qev_find_table(const char* name);

// A table of `Slots` slots: slot 0 is `info`, the listed slots are filled, every
// other slot is qev_not_implemented. The slot array is laid out as the
// table's typed view (a struct deriving from API_COMMON) expects.
template <size_t Slots = 256>
class QevTable {
public:
    QevTable(const char* name, API_INFO_FN info, std::initializer_list<QevSlotInit> fill)
        : m_registration(name, m_slots, Slots)
    {
        m_slots[0] = qev_slot(info);
        for (size_t i = 1; i < Slots; ++i)
            m_slots[i] = qev_slot(&qev_not_implemented);
        for (const QevSlotInit& s : fill)
            if (s.index > 0 && s.index < Slots)
                m_slots[s.index] = s.slot;
    }

    API_COMMON* table() { return reinterpret_cast<API_COMMON*>(m_slots); }

private:
    void* m_slots[Slots];
    QevTableRegistration m_registration;
};
