#include "recording_fakes.h"

#include <map>
#include <mutex>

#include "zelk_class.h"
#include "zelk_classfactory.h"
#include "zelk_gui.h"
#include "zelk_object.h"
#include "zelk_tunnel.h"

namespace kestrin::service::test {
namespace {

std::mutex s_mutex;
std::vector<std::string> s_log;

// One object for every role; the class name says which it plays.
class FakeObject : public ITunnelSource, public IClassFactory, public ZELK::PSESVC::IGUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeObject)
    ZELK_INTMAP_ENTRY(ITunnelSource)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY_IID(IID_IGUI, ZELK::PSESVC::IGUI)
    ZELK_END_INTMAP()

    ~FakeObject() override { Recorder::Add("destroy " + m_name); }

    HRESULT Connect(IUnknown* source) override
    {
        Recorder::Add(std::string("connect ") + (Is(source, "zelk.psefactory") ? "factory" : "other"));
        return Recorder::s_connectResult;
    }
    HRESULT Disconnect(IUnknown* source) override
    {
        Recorder::Add(std::string("disconnect ")
                      + (source ? (Is(source, "zelk.psefactory") ? "factory" : "other") : "null"));
        return S_OK;
    }
    HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** out) override
    {
        Recorder::Add(std::string("instance ") + (outer == nullptr && iid == IID_IUnknown ? "first" : "other"));
        *out = nullptr;
        return E_FAIL;
    }
    HRESULT LockServer(bool lock) override
    {
        Recorder::Add(std::string("lockserver ") + (lock ? "1" : "0"));
        return S_FALSE;
    }
    HRESULT GetSessionId(char** id) override
    {
        *id = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Run(ZELK::PSESVC::IPSESVC* service) override
    {
        Recorder::Add(std::string("gui run ") + (service ? "service" : "null"));
        return S_OK;
    }
    HRESULT DoVerb(ZELK::PSESVC::IGUIVerb*) override { return E_NOTIMPL; }

    static bool Is(IUnknown* object, const char* name)
    {
        IClassFactory* factory = nullptr;
        if (object == nullptr || FAILED(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory))))
            return false;
        bool is = static_cast<FakeObject*>(factory)->m_name == name;
        factory->Release();
        return is;
    }

    std::string m_name;
};

std::map<std::string, CComObject<FakeObject>*> s_singletons;

// The singleton registry's hold on one fake singleton.
class Hold : public ISingleton {
public:
    explicit Hold(CComObject<FakeObject>* object) : m_object(object) {}
    HRESULT Initialize() override { return S_OK; }
    HRESULT Finalize() override
    {
        Recorder::Add("finalize " + m_object->m_name);
        s_singletons.erase(m_object->m_name);
        CComObject<FakeObject>* object = m_object;
        delete this;
        object->Release();
        return S_OK;
    }

private:
    CComObject<FakeObject>* m_object;
};

template <const char* Name, bool Singleton>
HRESULT Create(const GUID& iid, void** out)
{
    *out = nullptr;
    if (Recorder::s_failing.count(Name)) {
        Recorder::Add(std::string("fail ") + Name);
        return E_FAIL;
    }
    CComObject<FakeObject>*& s_object = s_singletons[Name];
    if (!Singleton || s_object == nullptr) {
        CComObject<FakeObject>* object = nullptr;
        CComObject<FakeObject>::CreateInstance(&object);
        object->m_name = Name;
        object->AddRef();
        Recorder::Add(std::string("create ") + Name);
        if (Singleton) {
            s_object = object;
            ZELK_RegisterSingleton(new Hold(object), 1);
        } else {
            HRESULT hr = object->QueryInterface(iid, out);
            object->Release();
            return hr;
        }
    }
    HRESULT hr = s_object->QueryInterface(iid, out);
    return hr;
}

#define FAKE_CLASS(module, name, singleton, var)                                                                       \
    constexpr char var##_name[] = name;                                                                                \
    CZELK_CLASS var(module, name, &Create<var##_name, singleton>)

FAKE_CLASS("zelk", "zelk.readermgr", true, s_readermgr);
FAKE_CLASS("zelk", "zelk.tokenmgr", true, s_tokenmgr);
FAKE_CLASS("zelk", "zelk.kerberos", true, s_kerberos);
FAKE_CLASS("zelk", "zelk.keychainmonitor", true, s_keychainmonitor);
FAKE_CLASS("zelk", "zelk.kvtokenmonitor", true, s_kvtokenmonitor);
FAKE_CLASS("zelk", "zelk.policygroupsmonitor", true, s_policygroupsmonitor);
FAKE_CLASS("zelk", "zelk.psefactory", true, s_psefactory);
FAKE_CLASS("zelkcomsock", "zelk.comunix.server", false, s_server);
FAKE_CLASS("zelkgui", "zelk.nogui", false, s_nogui);

}  // namespace

std::set<std::string> Recorder::s_failing;
HRESULT Recorder::s_connectResult = S_OK;

void Recorder::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.clear();
    s_failing.clear();
    s_connectResult = S_OK;
}

void Recorder::Add(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.push_back(entry);
}

std::vector<std::string> Recorder::Log()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_log;
}

}  // namespace kestrin::service::test
