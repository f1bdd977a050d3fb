// The service PSE's reader slots as the reader manager reaches them, served
// from FakeSlots, and the recording readers model.
#include "fake_slots.h"

#include <cstring>

#include "zelk_class.h"
#include "zelk_strings.h"
#include "zelkpse.h"

namespace kestrin::service::test {
namespace {

std::mutex s_mutex;
std::map<std::string, CComObject<FakeSlot>*> s_slots;
std::set<std::string> s_refused;
std::vector<std::string> s_calls;
std::atomic<bool> s_readersEnabled {false};

void Record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.push_back(call);
}

// One reader item: records its setters under its name.
class FakeReader : public ZELK::PSESVC::CModelReader {
public:
    HRESULT SetAtr(const char* atr) override
    {
        Record("atr " + m_name + "=" + (atr ? atr : "(null)"));
        return S_OK;
    }
    HRESULT SetConnectionInfo(const char* text) override
    {
        Record("info " + m_name + "=" + (text ? text : "(null)"));
        return S_OK;
    }
    std::string m_name;
};

HRESULT CreateReaders(const GUID& iid, void** out)
{
    if (!s_readersEnabled) {
        *out = nullptr;
        return E_FAIL;
    }
    return CFactoryImpl<FakeReaders>::New(iid, out);
}

CZELK_CLASS s_readers("zelk", "zelk.readersinfo", &CreateReaders);

}  // namespace

std::atomic<int> FakeSlots::s_made {0};

FakeSlot* FakeSlots::Get(const std::string& name)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_refused.count(name))
        return nullptr;
    auto found = s_slots.find(name);
    if (found != s_slots.end())
        return found->second;
    CComObject<FakeSlot>* slot = nullptr;
    CComObject<FakeSlot>::CreateInstance(&slot);
    slot->AddRef();
    slot->m_name = name;
    s_slots[name] = slot;
    ++s_made;
    return slot;
}

void FakeSlots::Refuse(const std::string& name)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_refused.insert(name);
}

void FakeSlots::Clear()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    for (auto& entry : s_slots)
        entry.second->Release();
    s_slots.clear();
    s_refused.clear();
    s_calls.clear();
    s_made = 0;
}

HRESULT FakeReaders::AddReader(const char* name, ZELK::PSESVC::CModelReader** out)
{
    Record(std::string("add ") + name);
    if (out)
        *out = nullptr;
    return S_OK;
}

HRESULT FakeReaders::DelReader(const char* name)
{
    Record(std::string("del ") + name);
    return S_OK;
}

HRESULT FakeReaders::GetReader(const char* name, ZELK::PSESVC::CModelReader** out)
{
    CComObject<FakeReader>* reader = nullptr;
    CComObject<FakeReader>::CreateInstance(&reader);
    reader->AddRef();
    reader->m_name = name;
    *out = reader;
    return S_OK;
}

HRESULT FakeReaders::DeleteAllElements()
{
    Record("clear");
    return S_OK;
}

std::vector<std::string> FakeReaders::Calls()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_calls;
}

void FakeReaders::Enable(bool on)
{
    s_readersEnabled = on;
}

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

HRESULT ZELKPSE::getSlotByReader(SecSlot** out, const char* reader, bool)
{
    std::string name = reader ? reader : "";
    if (std::strchr(name.c_str(), ':') == nullptr)
        name = "secpcsc:" + name;
    SecSlot* slot = kestrin::service::test::FakeSlots::Get(name);
    if (slot)
        slot->AddRef();
    *out = slot;
    return slot ? S_OK : E_FAIL;
}

HRESULT ZELKPSE::GetConnectionInfo(char** out)
{
    return String_Copy("None", out);
}

}  // namespace ZELK::PSESVC
