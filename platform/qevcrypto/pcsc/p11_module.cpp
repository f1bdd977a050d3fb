#include "p11_module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "qev_results.h"

namespace kestrin::qevcrypto::pcsc {
namespace {

// Slot lists longer than this are not read.
constexpr CK_ULONG kMaxSlots = 256;

std::mutex s_lock;
std::weak_ptr<P11Module> s_module;  // the loaded module while anything holds it

}  // namespace

std::string Unpadded(const CK_UTF8CHAR* field, size_t size)
{
    while (size > 0 && (field[size - 1] == ' ' || field[size - 1] == '\0'))
        --size;
    return std::string(reinterpret_cast<const char*>(field), size);
}

P11Module::~P11Module()
{
    m_functions->C_Finalize(nullptr);
    dlclose(m_library);
}

HRESULT LoadModule(ModulePtr* out)
{
    std::lock_guard<std::mutex> lock(s_lock);
    *out = s_module.lock();
    if (*out)
        return S_OK;
    const char* setting = std::getenv(kModuleSetting);
    const char* path = setting != nullptr && *setting != '\0' ? setting : kDefaultModule;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return E_TOKEN_NOTFOUND;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* functions = nullptr;
    if (getList == nullptr || getList(&functions) != CKR_OK || functions == nullptr) {
        dlclose(library);
        return E_TOKEN_NOTFOUND;
    }
    CK_C_INITIALIZE_ARGS args {};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = functions->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        dlclose(library);
        return E_TOKEN_NOTFOUND;
    }
    try {
        *out = ModulePtr(new P11Module(library, functions));
    } catch (...) {
        functions->C_Finalize(nullptr);
        dlclose(library);
        return E_OUTOFMEMORY;
    }
    s_module = *out;
    return S_OK;
}

HRESULT P11Module::FindSlot(const std::string& reader, CK_SLOT_ID* out) const
{
    CK_ULONG count = 0;
    if (m_functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count > kMaxSlots)
        return E_TOKEN_NOTFOUND;
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0 || m_functions->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
        return E_TOKEN_NOTFOUND;
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO slotInfo {};
        if (m_functions->C_GetSlotInfo(slot, &slotInfo) == CKR_OK
            && Unpadded(slotInfo.slotDescription, sizeof slotInfo.slotDescription) == reader) {
            *out = slot;
            return S_OK;
        }
        CK_TOKEN_INFO tokenInfo {};
        if (m_functions->C_GetTokenInfo(slot, &tokenInfo) == CKR_OK
            && Unpadded(tokenInfo.label, sizeof tokenInfo.label) == reader) {
            *out = slot;
            return S_OK;
        }
    }
    return E_TOKEN_NOTFOUND;
}

}  // namespace kestrin::qevcrypto::pcsc
