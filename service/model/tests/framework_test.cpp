// The model framework: callbacks and their rounds, items and containers,
// verbs and their owners, and the texts of bundle "zelkgui".
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "model/gui_model_container.h"
#include "model/gui_verb.h"
#include "model/model_text.h"
#include "service_fixture.h"
#include "zelk_alloc.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;
using kestrin::service::test::ServiceTest;

class Listener final : public IGUIRefreshCB {
public:
    Listener(std::string name, std::vector<std::string>* log) : m_name(std::move(name)), m_log(log) {}
    virtual ~Listener() = default;
    HRESULT RefreshCB(unsigned long key) override
    {
        m_log->push_back(m_name + std::to_string(key));
        if (m_action)
            m_action();
        return S_OK;
    }
    std::function<void()> m_action;

private:
    std::string m_name;
    std::vector<std::string>* m_log;
};

// A row whose text and key the test sets; counts its refreshes.
class TestItem : public CGUIModelItem<IGUIModelItem>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(TestItem)
    ZELK_INTMAP_ENTRY(IGUIModelItem)
    ZELK_INTMAP_ENTRY(IGUIModel)
    ZELK_END_INTMAP()

    HRESULT RefreshItemInfo() override
    {
        ++m_refreshes;
        SetItemInfo(ICON_CERT_ACTIVE, m_text.c_str());
        SetSortKeyOnce(m_key.c_str());
        return S_OK;
    }
    std::string m_text;
    std::string m_key;
    int m_refreshes = 0;
};

CComObject<TestItem>* NewItem(const char* text, const char* key)
{
    CComObject<TestItem>* item = nullptr;
    EXPECT_EQ(CComObject<TestItem>::CreateInstance(&item), S_OK);
    item->AddRef();
    item->m_text = text;
    item->m_key = key;
    return item;
}

class TestContainer : public CGUIModelContainer<IGUIModelContainer, IGUIModelItem>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(TestContainer)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_END_INTMAP()

    void Add(IGUIModelItem* item) { EXPECT_EQ(m_elements.Add(item), S_OK); }
};

class FrameworkTest : public ServiceTest {};

TEST_F(FrameworkTest, CallbacksRunInRegistrationOrderWithTheirKeys)
{
    std::vector<std::string> log;
    Listener a("a", &log), b("b", &log), c("c", &log);
    CGUIModelBase model;
    const struct {
        bool reg;
        Listener* cb;
        unsigned long key;
        HRESULT answer;
    } steps[] = {
        {true, &a, 1, S_OK},
        {true, &b, 2, S_OK},
        {true, &c, 3, S_OK},
        {true, &a, 4, S_OK},
        {true, &a, 1, S_FALSE},
        {false, &b, 9, S_FALSE},
        {false, &b, 2, S_OK},
        {false, &b, 2, S_FALSE},
        {true, nullptr, 5, E_INVALIDARG},
        {false, nullptr, 5, E_INVALIDARG},
    };
    for (const auto& s : steps) {
        HRESULT hr = s.reg ? model.RegisterCallback(s.cb, s.key) : model.UnRegisterCallback(s.cb, s.key);
        EXPECT_EQ(hr, s.answer) << (s.reg ? "register " : "unregister ") << s.key;
    }
    EXPECT_EQ(model.GetRevision(), 0);
    model.NextRevision();
    EXPECT_EQ(model.GetRevision(), 1);
    EXPECT_EQ(log, (std::vector<std::string> {"a1", "c3", "a4"}));
}

// Removal during a round: the removed pair is not called after its removal,
// every other pair once in order, and a pair added during the round runs.
TEST_F(FrameworkTest, UnregisteringDuringARoundSkipsOnlyTheRemoved)
{
    std::vector<std::string> log;
    Listener a("a", &log), b("b", &log), c("c", &log), d("d", &log), e("e", &log);
    CGUIModelBase model;
    for (Listener* l : {&a, &b, &c, &d})
        model.RegisterCallback(l, 0);
    a.m_action = [&] { model.UnRegisterCallback(&a, 0); };
    b.m_action = [&] {
        model.UnRegisterCallback(&c, 0);
        model.RegisterCallback(&e, 0);
    };
    model.NextRevision();
    EXPECT_EQ(log, (std::vector<std::string> {"a0", "b0", "d0", "e0"}));
    a.m_action = nullptr;
    b.m_action = nullptr;
    log.clear();
    model.NextRevision();
    EXPECT_EQ(log, (std::vector<std::string> {"b0", "d0", "e0"}));
    // A nested round on the same thread leaves the compaction to the outer one.
    bool nested = false;
    b.m_action = [&] {
        if (nested)
            return;
        nested = true;
        model.UnRegisterCallback(&d, 0);
        model.NextRevision();
    };
    log.clear();
    model.NextRevision();
    EXPECT_EQ(log, (std::vector<std::string> {"b0", "b0", "e0", "e0"}));
}

TEST_F(FrameworkTest, UnregisteringFromAnotherThreadWaitsForTheRound)
{
    std::vector<std::string> log;
    Listener a("a", &log);
    CGUIModelBase model;
    model.RegisterCallback(&a, 7);
    std::atomic<bool> inRound {false}, release {false}, returned {false};
    a.m_action = [&] {
        inRound = true;
        while (!release)
            std::this_thread::yield();
    };
    std::thread changer([&] { model.NextRevision(); });
    ASSERT_TRUE(kestrin::service::test::WaitFor([&] { return inRound.load(); }));
    std::thread remover([&] {
        EXPECT_EQ(model.UnRegisterCallback(&a, 7), S_OK);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned);
    release = true;
    changer.join();
    remover.join();
    EXPECT_TRUE(returned);
    a.m_action = nullptr;
    model.NextRevision();
    EXPECT_EQ(log, (std::vector<std::string> {"a7"}));
}

TEST_F(FrameworkTest, ContainerAnswersItsElementsAndItems)
{
    CComObject<TestContainer>* container = nullptr;
    ASSERT_EQ(CComObject<TestContainer>::CreateInstance(&container), S_OK);
    container->AddRef();
    CComObject<TestItem>* first = NewItem("First", "020/b");
    CComObject<TestItem>* second = NewItem("Second", "020/b");
    container->Add(first);
    container->Add(second);

    EXPECT_EQ(container->GetElementCount(), 2u);
    void* out = nullptr;
    EXPECT_EQ(container->GetElement(0, IID_IGUIModelItem, nullptr), E_POINTER);
    EXPECT_EQ(container->GetElement(2, IID_IGUIModelItem, &out), E_INVALIDARG);
    EXPECT_EQ(container->GetElement(1, IID_IGUIModelContainer, &out), E_NOINTERFACE);
    ASSERT_EQ(container->GetElement(1, IID_IGUIModelItem, &out), S_OK);
    auto* item = static_cast<IGUIModelItem*>(out);

    IUnknown* unknown = nullptr;
    first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
    EXPECT_EQ(container->Contains(unknown), 1);
    EXPECT_EQ(container->Contains(static_cast<IGUIModel*>(item)), 1);  // the same address
    unknown->Release();
    CComObject<TestItem>* stranger = NewItem("x", "y");
    EXPECT_EQ(container->Contains(static_cast<IGUIModelItem*>(stranger)), 0);

    // Texts are recomputed on every GetItemInfo; the first key stays.
    IGUIItem_Icon icon = ICON_NONE;
    char* text = nullptr;
    ASSERT_EQ(item->GetItemInfo(&icon, &text), S_OK);
    EXPECT_EQ(icon, ICON_CERT_ACTIVE);
    EXPECT_STREQ(text, "Second");
    sec_free(text);
    EXPECT_EQ(item->GetItemInfo(nullptr, nullptr), S_OK);
    EXPECT_EQ(second->m_refreshes, 2);
    second->m_key = "999";
    EXPECT_STREQ(item->ItemGetKey(), "020/b");
    EXPECT_EQ(item->ItemCompare(nullptr), 1);
    EXPECT_EQ(item->ItemCompare(first), 0);
    EXPECT_LT(item->ItemCompare(stranger), 0);

    EXPECT_EQ(container->DeleteAllElements(), S_OK);
    EXPECT_EQ(container->GetElementCount(), 0u);
    item->Release();
    stranger->Release();
    first->Release();
    second->Release();
    container->Release();
}

// An owner of verbs whose verb methods record their calls.
class Owner : public CGUIModelVerbs, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Owner)
    ZELK_INTMAP_ENTRY(IGUIVerbs)
    ZELK_END_INTMAP()

    ~Owner() override
    {
        // A verb run while the owner is being destroyed must not revive it.
        if (m_dyingAnswer != nullptr)
            *m_dyingAnswer = m_verb->DoVerb(nullptr);
        m_verb->Detach();
        m_verb->Release();
    }
    HRESULT DoVerbBegin(ICredUI*) override
    {
        m_log += "begin;";
        return m_begin;
    }
    HRESULT DoVerbEnd(ICredUI*) override
    {
        m_log += "end;";
        return S_OK;
    }
    int Run(ICredUI*, unsigned long param)
    {
        m_log += "run" + std::to_string(param) + ";";
        return 5;
    }

    CGUIVerb* m_verb = nullptr;
    std::string m_log;
    HRESULT m_begin = S_OK;
    // Set: the destructor runs the verb and stores its answer here.
    HRESULT* m_dyingAnswer = nullptr;
};

TEST_F(FrameworkTest, VerbsRunTheirOwnersMemberUntilDetached)
{
    CComObject<Owner>* owner = nullptr;
    ASSERT_EQ(CComObject<Owner>::CreateInstance(&owner), S_OK);
    owner->AddRef();
    ASSERT_EQ(CGUIVerbImplEx<Owner>::New(owner, &Owner::Run, 42, "verb.login", &owner->m_verb), S_OK);
    EXPECT_EQ(owner->m_verb->GetState(), 0u);
    EXPECT_EQ(owner->m_verb->DoVerb(nullptr), 5);
    EXPECT_EQ(owner->m_log, "begin;run42;end;");
    owner->m_begin = E_FAIL;
    owner->m_log.clear();
    EXPECT_EQ(owner->m_verb->DoVerb(nullptr), E_FAIL);
    EXPECT_EQ(owner->m_log, "begin;");

    CGUIVerb* kept = owner->m_verb;
    kept->AddRef();
    owner->Release();  // the destructor detaches the verb
    EXPECT_EQ(kept->DoVerb(nullptr), E_FAIL);
    kept->Release();
}

TEST_F(FrameworkTest, DyingOwnerIsNotRevivedByItsVerb)
{
    HRESULT answer = S_OK;
    CComObject<Owner>* owner = nullptr;
    ASSERT_EQ(CComObject<Owner>::CreateInstance(&owner), S_OK);
    owner->AddRef();
    owner->m_dyingAnswer = &answer;
    ASSERT_EQ(CGUIVerbImplEx<Owner>::New(owner, &Owner::Run, 1, "verb.x", &owner->m_verb), S_OK);
    owner->Release();
    EXPECT_EQ(answer, E_FAIL);
}

TEST_F(FrameworkTest, VerbListKeepsAndReplacesItsVerbs)
{
    CComObject<Owner>* owner = nullptr;
    ASSERT_EQ(CComObject<Owner>::CreateInstance(&owner), S_OK);
    owner->AddRef();
    CGUIVerb* verbs[3] = {};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(CGUIVerbImplEx<Owner>::New(owner, &Owner::Run, i, "verb.logout", &verbs[i]), S_OK);
    owner->m_verb = verbs[2];
    verbs[2]->AddRef();
    IGUIVerb* list[] = {verbs[0], nullptr, verbs[1]};
    EXPECT_EQ(owner->AddVerbs(3, list), S_OK);
    EXPECT_EQ(owner->GetVerbCount(), 2u);
    EXPECT_EQ(owner->AddVerbs(1, nullptr), E_INVALIDARG);
    IGUIVerb* out = nullptr;
    EXPECT_EQ(owner->GetVerb(2, &out), E_FAIL);
    ASSERT_EQ(owner->GetVerb(1, &out), S_OK);
    EXPECT_EQ(out, verbs[1]);
    out->Release();
    // SetVerbs releases the verbs it replaces (the leak checker sees the rest).
    IGUIVerb* replacement[] = {verbs[2]};
    EXPECT_EQ(owner->SetVerbs(1, replacement), S_OK);
    EXPECT_EQ(owner->GetVerbCount(), 1u);
    for (CGUIVerb* verb : verbs) {
        verb->Detach();
        verb->Release();
    }
    owner->Release();
}

TEST_F(FrameworkTest, DisplayNamesAndTextsComeFromTheBundle)
{
    const struct {
        const char* verb;
        const char* key;  // NULL: the display name is given
        const char* given;
    } cases[] = {
        {"verb.login", "MENU_LOGIN", nullptr},
        {"verb.usefor.qev", "MENU_USE_FOR_QEV", nullptr},
        {"verb.reauth", nullptr, "verb.reauth"},
    };
    CComObject<Owner>* owner = nullptr;
    ASSERT_EQ(CComObject<Owner>::CreateInstance(&owner), S_OK);
    owner->AddRef();
    owner->m_verb = nullptr;
    for (const auto& c : cases) {
        CGUIVerb* verb = nullptr;
        ASSERT_EQ(CGUIVerbImplEx<Owner>::New(owner, &Owner::Run, 0, c.verb, &verb), S_OK);
        const char* expected = c.key ? CModel::GetText(c.key, nullptr) : c.given;
        ASSERT_NE(expected, nullptr) << c.verb;
        EXPECT_STREQ(verb->GetVerbDisplayName(), expected) << c.verb;
        if (c.key) {
            EXPECT_STRNE(expected, c.verb);
            EXPECT_STRNE(expected, "");
        }
        EXPECT_EQ(verb->GetVerbDisplayName(), verb->GetVerbDisplayName());
        if (owner->m_verb == nullptr)
            owner->m_verb = verb;
        else {
            verb->Detach();
            verb->Release();
        }
    }
    EXPECT_EQ(CModel::GetText("NO_SUCH_KEY_IN_ZELKGUI", nullptr), nullptr);
    EXPECT_STREQ(CModel::GetText("NO_SUCH_KEY_IN_ZELKGUI", "fallback"), "fallback");
    EXPECT_STREQ(CModel::GetTextW("NO_SUCH_KEY_IN_ZELKGUI", L"wide"), L"wide");
    EXPECT_NE(CModel::GetTextW("TOKEN_NOT_LOGGED_IN", nullptr), nullptr);
    owner->Release();
}

// The first look-ups of several threads open the bundle once and all see it.
TEST_F(FrameworkTest, FirstTextLookupsRaceSafely)
{
    std::vector<std::thread> threads;
    std::vector<const char*> answers(8, nullptr);
    std::atomic<int> ready {0};
    for (size_t t = 0; t < answers.size(); ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < static_cast<int>(answers.size()))
                std::this_thread::yield();
            answers[t] = CModel::GetText("MENU_LOGIN", nullptr);
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_NE(answers[0], nullptr);
    for (const char* answer : answers)
        EXPECT_EQ(answer, answers[0]);
}

}  // namespace
}  // namespace kestrin::model::test
