// Slots that the service PSE would give the reader manager, kept by name so
// that tests can see what was done to them, and a recording readers model.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "model/model_readers.h"
#include "qev_token.h"
#include "zelk_object.h"

namespace kestrin::service::test {

class FakeSlot : public SecSlot, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeSlot)
    ZELK_INTMAP_ENTRY(SecSlot)
    ZELK_END_INTMAP()

    const char* getType() override { return "SecSlot"; }
    HRESULT cpy(SecSlot**) override { return E_NOTIMPL; }
    int cmp(const SecSlot* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT tokenInserted() override { return S_OK; }
    HRESULT getP11SlotInfo(CK_SLOT_INFO*) override { return E_NOTIMPL; }
    HRESULT getSlotName(const char** name) override
    {
        *name = m_name.c_str();
        return S_OK;
    }
    HRESULT getToken(SecToken**) override { return E_NOTIMPL; }
    HRESULT releaseToken() override
    {
        ++releases;
        return S_OK;
    }

    std::string m_name;
    std::atomic<int> releases {0};
};

// The slots made so far by name (one reference each), the names whose slot
// the library cannot give, and the slot count of each name.
struct FakeSlots {
    static FakeSlot* Get(const std::string& name);
    static void Refuse(const std::string& name);
    static void Clear();
    static std::atomic<int> s_made;
};

// "zelk.readersinfo" for the reader manager, recording its calls.
class FakeReaders : public ZELK::PSESVC::CModelReaders {
public:
    HRESULT AddReader(const char* name, ZELK::PSESVC::CModelReader** out) override;
    HRESULT DelReader(const char* name) override;
    HRESULT GetReader(const char* name, ZELK::PSESVC::CModelReader** out) override;
    HRESULT DeleteAllElements() override;

    // The calls in order ("add x", "del x", "atr x=...", "info x=...", "clear").
    static std::vector<std::string> Calls();
    static void Enable(bool on);
};

}  // namespace kestrin::service::test
