// "SEC_PSE_1": the library's own PSE provider table: its file PSE, the
// creation of that file, slots by name and the in-memory PSEs.
#include <cstring>

#include "asc_object.h"
#include "file_pse.h"
#include "qev_results.h"
#include "qev_tables.h"
#include "slot_schemes.h"
#include "swtoken/sw_store.h"

namespace kestrin::qevcrypto {
namespace {

SlotScheme* s_schemes = nullptr;  // built by static constructors

// Longest slot name taken.
constexpr size_t kMaxSlotName = 4096;

}  // namespace

SlotScheme::SlotScheme(const char* schemePrefix, SlotOpenFn schemeOpen)
    : prefix(schemePrefix), open(schemeOpen), next(s_schemes)
{
    s_schemes = this;
}

HRESULT OpenSlot(const char* name, SecSlot** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (name == nullptr || strnlen(name, kMaxSlotName + 1) > kMaxSlotName)
        return E_PSE_NOTFOUND;
    for (SlotScheme* s = s_schemes; s != nullptr; s = s->next) {
        if (std::strncmp(name, s->prefix, std::strlen(s->prefix)) == 0) {
            HRESULT hr = s->open(name, out);
            if (FAILED(hr) && *out != nullptr) {
                (*out)->Release();
                *out = nullptr;
            }
            return hr;
        }
    }
    return E_PSE_NOTFOUND;
}

namespace {

// The file PSE of the context (never its provider's PSE); without a context a
// new object over the file of the PSE folder.
HRESULT sec_pse_create_PSE(PSE** out, ASC* asc, SECAttribute*)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (asc != nullptr)
        return asc->getOwnPSE(out);
    return OpenFilePse(out);
}

HRESULT sec_pse_initialize_PSE(const char* name, const char* password)
{
    return InitializeFilePse(name, password);
}

HRESULT sec_pse_getSlot(SecSlot** out, const char* name)
{
    return OpenSlot(name, out);
}

HRESULT sec_pse_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_PSE_1", "personal security environments");
}

HRESULT sec_pse_create_memory_PSE(char** name)
{
    return swtoken::CreateMemoryPse(name);
}

HRESULT sec_pse_delete_memory_PSE(const char* name)
{
    return swtoken::DeleteMemoryPse(name);
}

QevTable<> s_table("SEC_PSE_1", &sec_pse_get_info,
                   {{1, qev_slot(&sec_pse_create_PSE)},
                    {2, qev_slot(&sec_pse_initialize_PSE)},
                    {3, qev_slot(&sec_pse_getSlot)},
                    {4, qev_slot(&sec_pse_create_memory_PSE)},
                    {5, qev_slot(&sec_pse_delete_memory_PSE)}});

}  // namespace
}  // namespace kestrin::qevcrypto
