#include "qev_tables.h"

#include <cstring>
#include <mutex>

namespace {

// Both lists are built by static constructors; the heads are constant-initialised.
QevTableRegistration* s_tables = nullptr;
QevSlotFill* s_fills = nullptr;
std::mutex s_fillLock;

QevTableRegistration* find_registration(const char* name)
{
    for (QevTableRegistration* r = s_tables; r; r = r->next)
        if (std::strcmp(r->name, name) == 0)
            return r;
    return nullptr;
}

// Slot fills are applied once, when the library is first asked for a table
// (all static constructors have run by then).
void apply_fills()
{
    std::lock_guard<std::mutex> lock(s_fillLock);
    for (QevSlotFill* f = s_fills; f; f = f->next) {
        QevTableRegistration* r = find_registration(f->table);
        if (r && f->index > 0 && f->index < r->count)
            r->slots[f->index] = f->slot;
    }
    s_fills = nullptr;
}

}  // namespace

extern "C" HRESULT qev_not_implemented()
{
    return E_NOTIMPL;
}

HRESULT qev_fill_info(const char** table, const char** module, const char** description, const char* tableName,
                      const char* tableDescription)
{
    if (table)
        *table = tableName;
    if (module)
        *module = "qevcrypto";
    if (description)
        *description = tableDescription;
    return S_OK;
}

QevTableRegistration::QevTableRegistration(const char* tableName, void** tableSlots, size_t slotCount)
    : name(tableName), slots(tableSlots), count(slotCount), next(s_tables)
{
    s_tables = this;
}

QevTableRegistration::~QevTableRegistration()
{
    for (QevTableRegistration** p = &s_tables; *p; p = &(*p)->next) {
        if (*p == this) {
            *p = next;
            break;
        }
    }
}

QevSlotFill::QevSlotFill(const char* tableName, size_t slotIndex, void* slotValue)
    : table(tableName), index(slotIndex), slot(slotValue), next(s_fills)
{
    s_fills = this;
}

API_COMMON* qev_find_table(const char* name)
{
    if (name == nullptr)
        return nullptr;
    apply_fills();
    QevTableRegistration* r = find_registration(name);
    return r ? reinterpret_cast<API_COMMON*>(r->slots) : nullptr;
}
