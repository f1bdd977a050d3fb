// The model base: callbacks registered once per (callback, key), called in
// registration order with their key on each new revision, and removed
// keeping the others' order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/gui_model_base.h"
#include "service_fixture.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CGUIModelBase;
using ZELK::PSESVC::IGUIRefreshCB;

class Listener final : public IGUIRefreshCB {
public:
    Listener(std::string name, std::vector<std::string>* log) : m_name(std::move(name)), m_log(log) {}
    virtual ~Listener() = default;
    HRESULT RefreshCB(unsigned long key) override
    {
        m_log->push_back(m_name + std::to_string(key));
        return S_OK;
    }

private:
    std::string m_name;
    std::vector<std::string>* m_log;
};

class ModelBaseTest : public ServiceTest {};

TEST_F(ModelBaseTest, CallbacksRunInRegistrationOrderWithTheirKeys)
{
    std::vector<std::string> log;
    Listener a("a", &log);
    Listener b("b", &log);
    CGUIModelBase model;
    EXPECT_EQ(model.GetRevision(), 0);
    EXPECT_EQ(model.RegisterCallback(&a, 1), 0);
    EXPECT_EQ(model.RegisterCallback(&b, 2), 0);
    EXPECT_EQ(model.RegisterCallback(&a, 3), 0);
    EXPECT_EQ(model.RegisterCallback(&a, 1), 1);
    model.NextRevision();
    EXPECT_EQ(model.GetRevision(), 1);
    EXPECT_EQ(log, (std::vector<std::string> {"a1", "b2", "a3"}));
    EXPECT_EQ(model.UnRegisterCallback(&b, 2), 0);
    EXPECT_EQ(model.UnRegisterCallback(&b, 2), 1);
    log.clear();
    model.NextRevision();
    EXPECT_EQ(log, (std::vector<std::string> {"a1", "a3"}));
}

}  // namespace
}  // namespace kestrin::service::test
