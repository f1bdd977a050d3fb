#include "fake_cfg_policy.h"

#include <atomic>
#include <mutex>

#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_object.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::IGUIModelCfgPolicy;
using ZELK::PSESVC::IGUIModelCfgPolicy_Param;
using ZELK::PSESVC::IGUIRefreshCB;

std::atomic<bool> s_present {true};
std::mutex s_lock;
std::vector<HRESULT> s_reports;

class CfgPolicy : public IGUIModelCfgPolicy, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CfgPolicy)
    ZELK_INTMAP_ENTRY(IGUIModelCfgPolicy)
    ZELK_END_INTMAP()

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB*, unsigned long) override { return S_OK; }
    HRESULT UnRegisterCallback(IGUIRefreshCB*, unsigned long) override { return S_OK; }
    HRESULT Apply() override { return S_OK; }
    HRESULT Cancel() override { return S_OK; }
    HRESULT Update() override { return S_OK; }
    HRESULT Clear() override { return S_OK; }
    bool IsChangeable(IGUIModelCfgPolicy_Param) override { return false; }
    const char* GetString(IGUIModelCfgPolicy_Param) override { return nullptr; }
    unsigned int GetDWORD(IGUIModelCfgPolicy_Param) override { return 0; }
    bool GetBool(IGUIModelCfgPolicy_Param) override { return false; }
    HRESULT SetString(IGUIModelCfgPolicy_Param, const char*) override { return S_OK; }
    HRESULT SetBool(IGUIModelCfgPolicy_Param, bool) override { return S_OK; }
    HRESULT SetDWORD(IGUIModelCfgPolicy_Param param, unsigned int value) override
    {
        if (param == ZELK::PSESVC::CFGPOLICY_STATUS) {
            std::lock_guard<std::mutex> lock(s_lock);
            s_reports.push_back(static_cast<HRESULT>(value));
        }
        return S_OK;
    }
};

HRESULT Create(const GUID& iid, void** out)
{
    if (!s_present) {
        if (out)
            *out = nullptr;
        return E_FAIL;
    }
    return CFactoryImpl<CfgPolicy>::New(iid, out);
}

CZELK_CLASS s_class("zelk", "zelk.cfg.policy", &Create);

}  // namespace

void FakeCfgPolicy::SetPresent(bool present)
{
    s_present = present;
}

std::vector<HRESULT> FakeCfgPolicy::Reports()
{
    std::lock_guard<std::mutex> lock(s_lock);
    return s_reports;
}

void FakeCfgPolicy::Clear()
{
    std::lock_guard<std::mutex> lock(s_lock);
    s_reports.clear();
}

}  // namespace kestrin::service::test
