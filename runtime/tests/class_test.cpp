// Class registry and creation: the own registry, wildcard entries, the
// creation master and other modules' class factories, across real modules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "class_test_module.h"
#include "zelk_module.h"
#include "zelk_object.h"
#include "zelk_ptr.h"

namespace {

using ThingPtr = ZELK_PTR(ITestThing);

class CGuiThing : public ITestThing, public CComObjectRoot {
public:
    const char* Home() override { return "zelktestgui"; }

    ZELK_BEGIN_INTMAP(CGuiThing)
    ZELK_INTMAP_ENTRY(ITestThing)
    ZELK_END_INTMAP()
};

class CWildThing : public ITestThing, public CComObjectRoot {
public:
    const char* Home() override { return "wildcard"; }

    ZELK_BEGIN_INTMAP(CWildThing)
    ZELK_INTMAP_ENTRY(ITestThing)
    ZELK_END_INTMAP()
};

HRESULT WildCreator(const char* className, const GUID& iid, void** out)
{
    if (std::strcmp(className, "wild.shadowed") == 0)
        return E_NOTIMPL;
    if (std::strcmp(className, "wild.stopped") == 0)
        return E_NOINTERFACE;
    if (std::strncmp(className, "wild.any", 8) == 0)
        return CFactoryImpl<CWildThing>::New(iid, out);
    return E_FAIL;
}

// The application-like classes of this program: offered under a module name
// that no library carries. The named entries come first, so the wildcard entry
// registered after them is met first.
CZELK_CLASS s_guiThing("zelktestgui", "gui.thing", &CFactoryImpl<CGuiThing>::New);
CZELK_CLASS s_shadowed("zelktestwild", "wild.shadowed", &CFactoryImpl<CGuiThing>::New);
CZELK_CLASS s_stopped("zelktestwild", "wild.stopped", &CFactoryImpl<CGuiThing>::New);
CZELK_CLASS s_wild("zelktestwild", &WildCreator);

HRESULT Create(const char* module, const char* className, ThingPtr& thing)
{
    return ZELK_CreateObject(module, className, IID_ITestThing, reinterpret_cast<void**>(&thing));
}

TEST(ClassRegistry, InfoOfTheFactoryTable)
{
    const char* api = nullptr;
    const char* module = "x";
    const char* description = nullptr;
    EXPECT_EQ(CLASSFACTORY_get_info(&api, &module, &description), S_OK);
    EXPECT_STREQ(api, "ClassFactory.1");
    EXPECT_EQ(module, ZELK_GetModuleName());
    EXPECT_STREQ(description, "");
    EXPECT_EQ(CLASSFACTORY_get_info(nullptr, nullptr, nullptr), S_OK);
}

TEST(ClassRegistry, WalkOfTheOwnRegistry)
{
    ThingPtr thing;
    ASSERT_EQ(CZELK_CLASS::CreateObject("gui.thing", IID_ITestThing, reinterpret_cast<void**>(&thing)), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestgui");

    // A wildcard's "not mine" lets the older named entry answer; its "no such
    // interface" ends the walk.
    ASSERT_EQ(CZELK_CLASS::CreateObject("wild.shadowed", IID_ITestThing, reinterpret_cast<void**>(&thing)), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestgui");
    EXPECT_EQ(CZELK_CLASS::CreateObject("wild.stopped", IID_ITestThing, reinterpret_cast<void**>(&thing)),
              E_NOINTERFACE);
    EXPECT_TRUE(thing == nullptr);
    ASSERT_EQ(CZELK_CLASS::CreateObject("wild.anything", IID_ITestThing, reinterpret_cast<void**>(&thing)), S_OK);
    EXPECT_STREQ(thing->Home(), "wildcard");

    void* out = &out;
    EXPECT_EQ(CZELK_CLASS::CreateObject("gui.thing", IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    out = &out;
    EXPECT_EQ(CZELK_CLASS::CreateObject("no.such.class", IID_ITestThing, &out), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CZELK_CLASS::CreateObject(nullptr, IID_ITestThing, &out), E_INVALIDARG);
    EXPECT_EQ(CZELK_CLASS::CreateObject("gui.thing", IID_ITestThing, nullptr), E_POINTER);
}

TEST(ClassRegistry, NamelessDeliverableFiltersByModule)
{
    ASSERT_EQ(ZELK_GetModuleName(), nullptr);
    ThingPtr thing;
    ASSERT_EQ(Create("zelktestgui", "gui.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestgui");
    // The entry exists, but under another module name.
    EXPECT_LT(Create("zelktestwild", "gui.thing", thing), 0);
    EXPECT_TRUE(thing == nullptr);
    // No module at all: the whole registry.
    ASSERT_EQ(Create(nullptr, "wild.anyone", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "wildcard");
    EXPECT_EQ(ClassFactories::CreateObject(nullptr, "gui.thing", IID_ITestThing, reinterpret_cast<void**>(&thing)),
              E_INVALIDARG);
    EXPECT_EQ(ClassFactories::CreateObject("zelktestgui", nullptr, IID_ITestThing, reinterpret_cast<void**>(&thing)),
              E_INVALIDARG);
}

// A master that records what it is asked and answers as told.
struct FakeMaster {
    static inline int calls = 0;
    static inline HRESULT answer = E_FAIL;
    static inline std::string module;
    static HRESULT Create(const char* m, const char* className, const GUID& iid, void** out)
    {
        ++calls;
        module = m;
        if (FAILED(answer))
            return answer;
        return CFactoryImpl<CWildThing>::New(iid, out);
    }
};

class ClassMasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeMaster::calls = 0;
        CZELK_CLASS::RegisterMaster(&FakeMaster::Create);
    }
    void TearDown() override { CZELK_CLASS::RegisterMaster(nullptr); }
};

TEST_F(ClassMasterTest, ForeignCreationGoesToTheMaster)
{
    FakeMaster::answer = S_OK;
    ThingPtr thing;
    ASSERT_EQ(Create("zelkfaraway", "far.thing", thing), S_OK);
    EXPECT_EQ(FakeMaster::calls, 1);
    EXPECT_EQ(FakeMaster::module, "zelkfaraway");
    EXPECT_STREQ(thing->Home(), "wildcard");
    // Even a class of the own registry: the master decides for every named module.
    ASSERT_EQ(Create("zelktestgui", "gui.thing", thing), S_OK);
    EXPECT_EQ(FakeMaster::calls, 2);
    EXPECT_STREQ(thing->Home(), "wildcard");
    // Slot 1 of the own table never consults the master.
    ASSERT_EQ(CZELK_CLASS::CreateObject("gui.thing", IID_ITestThing, reinterpret_cast<void**>(&thing)), S_OK);
    EXPECT_EQ(FakeMaster::calls, 2);
}

TEST_F(ClassMasterTest, NegativeMasterAnswerFallsBackToTheFactoryPath)
{
    FakeMaster::answer = E_ABORT;
    void* out = &out;
    EXPECT_EQ(CZELK_CLASS::CreateObject("zelkfaraway", "far.thing", IID_ITestThing, &out), E_ABORT);
    EXPECT_EQ(out, nullptr);
    // Without a crypto library there is no factory to bind either.
    EXPECT_EQ(ZELK_CreateObject("zelkfaraway", "far.thing", IID_ITestThing, &out), E_FAIL);
    EXPECT_EQ(FakeMaster::calls, 2);
}

// ---- Across real modules ------------------------------------------------------

class ClassModulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_GetModuleName(), nullptr) << "this program must stay nameless";
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        EXPECT_EQ(ClassFactories::s_This.Count(), 0u);
    }
    void TearDown() override
    {
        // Each module stops its own runtime (cache, singletons) before the
        // crypto library unloads it.
        for (const ZELKTESTCLS_TABLE* t : m_tables)
            EXPECT_EQ(t->finalize(), S_OK);
        EXPECT_EQ(ZELK_Finalize(), S_OK);
        EXPECT_EQ(ClassFactories::s_This.Count(), 0u);
    }

    const ZELKTESTCLS_TABLE* Module(const char* name)
    {
        API_COMMON* table = nullptr;
        EXPECT_EQ(ZELK_GetAPI(name, "zelktestcls.1", &table), S_OK);
        auto* t = ZELK_ApiCast<ZELKTESTCLS_TABLE>(table);
        if (t) {
            bool known = false;
            for (const ZELKTESTCLS_TABLE* k : m_tables)
                known = known || k == t;
            if (!known)
                m_tables.push_back(t);
        }
        return t;
    }

    static HRESULT CreateIn(const ZELKTESTCLS_TABLE* t, const char* module, const char* className, ThingPtr& thing)
    {
        return t->create(module, className, IID_ITestThing, reinterpret_cast<void**>(&thing));
    }

    std::vector<const ZELKTESTCLS_TABLE*> m_tables;
};

TEST_F(ClassModulesTest, ForeignFactoryMakesThisProgramTheMaster)
{
    ThingPtr thing;
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestclsa");
    EXPECT_EQ(ClassFactories::s_This.Count(), 1u);
    const ZELKTESTCLS_TABLE* a = Module("zelktestclsa");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->master(), &ZELK_CreateObject);

    // Cached: a second creation binds nothing new.
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    EXPECT_EQ(ClassFactories::s_This.Count(), 1u);

    // A missing class or module.
    EXPECT_EQ(Create("zelktestclsa", "zelktestclsa.none", thing), E_FAIL);
    EXPECT_EQ(Create("zelktestnowhere", "x", thing), E_FAIL);
    EXPECT_EQ(ClassFactories::s_This.Count(), 1u);
}

TEST_F(ClassModulesTest, ModuleReachesTheMastersClassesAndItsOwn)
{
    ThingPtr thing;
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    const ZELKTESTCLS_TABLE* a = Module("zelktestclsa");
    ASSERT_NE(a, nullptr);

    // Through the master (this program) to a class only this program has.
    ASSERT_EQ(CreateIn(a, "zelktestgui", "gui.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestgui");

    // By its own module name: its own factory, bound and released per call.
    ASSERT_EQ(CreateIn(a, "zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestclsa");
    EXPECT_EQ(a->cached_factories(), 0u);

    // A singleton of the module: one object however it is reached.
    ThingPtr one;
    ThingPtr two;
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.single", one), S_OK);
    ASSERT_EQ(CreateIn(a, "zelktestclsa", "zelktestclsa.single", two), S_OK);
    EXPECT_TRUE(one == two);
}

TEST_F(ClassModulesTest, NegativeMasterAnswerMovesTheMaster)
{
    ThingPtr thing;
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    const ZELKTESTCLS_TABLE* a = Module("zelktestclsa");
    ASSERT_NE(a, nullptr);

    // The master binds the third module's factory itself and answers.
    ASSERT_EQ(CreateIn(a, "zelktestclsb", "zelktestclsb.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestclsb");
    const ZELKTESTCLS_TABLE* b = Module("zelktestclsb");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->master(), &ZELK_CreateObject);
    EXPECT_EQ(ClassFactories::s_This.Count(), 2u);
    EXPECT_EQ(a->cached_factories(), 0u);

    // The master's answer is negative: the asking module binds the factory
    // itself and becomes that module's master.
    EXPECT_EQ(CreateIn(a, "zelktestclsb", "zelktestclsb.none", thing), E_FAIL);
    EXPECT_EQ(a->cached_factories(), 1u);
    EXPECT_EQ(b->master(), a->create);
}

TEST_F(ClassModulesTest, ModulesThatAreEachOthersMasterFailCleanly)
{
    ThingPtr thing;
    ASSERT_EQ(Create("zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    ASSERT_EQ(Create("zelktestclsb", "zelktestclsb.thing", thing), S_OK);
    const ZELKTESTCLS_TABLE* a = Module("zelktestclsa");
    const ZELKTESTCLS_TABLE* b = Module("zelktestclsb");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    // Two failed creations in opposite directions.
    EXPECT_EQ(CreateIn(a, "zelktestclsb", "zelktestclsb.none", thing), E_FAIL);
    EXPECT_EQ(CreateIn(b, "zelktestclsa", "zelktestclsa.none", thing), E_FAIL);
    ASSERT_EQ(a->master(), b->create);
    ASSERT_EQ(b->master(), a->create);

    // A creation that neither can answer ends instead of bouncing between them.
    EXPECT_EQ(CreateIn(a, "zelktestnowhere", "x", thing), E_FAIL);
    EXPECT_EQ(CreateIn(b, "zelktestgui", "gui.thing", thing), E_FAIL);
    EXPECT_TRUE(thing == nullptr);
    // What one of them offers is still created.
    ASSERT_EQ(CreateIn(a, "zelktestclsb", "zelktestclsb.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestclsb");
    ASSERT_EQ(CreateIn(b, "zelktestclsa", "zelktestclsa.thing", thing), S_OK);
    EXPECT_STREQ(thing->Home(), "zelktestclsa");
}

}  // namespace
