// Interface maps, reference counting, the two creators and the smart pointer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zelk_object.h"
#include "zelk_ptr.h"

namespace {

class IAlpha : public IUnknown {
public:
    virtual int Alpha() = 0;
};
class IBeta : public IUnknown {
public:
    virtual int Beta() = 0;
};
class IGamma : public IUnknown {
public:
    virtual int Gamma() = 0;
};

ZELK_DEFINE_GUID(IID_IAlpha, 0x1A1A0001, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8);
ZELK_DEFINE_GUID(IID_IBeta, 0x1A1A0002, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8);
ZELK_DEFINE_GUID(IID_IGamma, 0x1A1A0003, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8);
ZELK_DEFINE_GUID(IID_CTwoFaces, 0x1A1A0100, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8);
ZELK_DEFINE_GUID(IID_COnlyClass, 0x1A1A0101, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8);

int s_liveObjects = 0;

class CTwoFaces : public IAlpha, public IBeta, public CComObjectRoot {
public:
    CTwoFaces() { ++s_liveObjects; }
    ~CTwoFaces() override { --s_liveObjects; }
    int Alpha() override { return 1; }
    int Beta() override { return 2; }
    long Count() const { return m_dwRef; }

    ZELK_BEGIN_INTMAP(CTwoFaces)
    ZELK_INTMAP_ENTRY_CLASS(IID_CTwoFaces)
    ZELK_INTMAP_ENTRY(IAlpha)
    ZELK_INTMAP_ENTRY(IBeta)
    ZELK_END_INTMAP()
};

// The first row lies at a non-zero offset: IUnknown is answered by IBeta.
class CBetaFirst : public IAlpha, public IBeta, public CComObjectRoot {
public:
    int Alpha() override { return 10; }
    int Beta() override { return 20; }

    ZELK_BEGIN_INTMAP(CBetaFirst)
    ZELK_INTMAP_ENTRY(IBeta)
    ZELK_INTMAP_ENTRY(IAlpha)
    ZELK_END_INTMAP()
};

class COnlyClass : public IAlpha, public CComObjectRoot {
public:
    int Alpha() override { return 3; }

    ZELK_BEGIN_INTMAP(COnlyClass)
    ZELK_INTMAP_ENTRY_CLASS(IID_COnlyClass)
    ZELK_END_INTMAP()
};

GUID WithReserved(GUID g, uint8_t last)
{
    g.Reserved[3] = last;
    return g;
}

TEST(ObjectGuid, TwentyFourBytesComparedWhole)
{
    EXPECT_EQ(sizeof(GUID), 24u);
    EXPECT_EQ(IID_IUnknown.Data4[0], 0xC0);
    EXPECT_EQ(IID_IUnknown.Data4[7], 0x46);
    EXPECT_FALSE(IID_IUnknown == IID_IClassFactory);
    EXPECT_EQ(IID_IClassFactory.Data1, 1u);
    GUID copy = IID_IAlpha;
    EXPECT_TRUE(copy == IID_IAlpha);
    EXPECT_FALSE(WithReserved(IID_IAlpha, 1) == IID_IAlpha);
}

TEST(ObjectMap, QueryInterfaceAnswersFromTheMap)
{
    CComObject<CTwoFaces>* obj = nullptr;
    ASSERT_EQ(CComObject<CTwoFaces>::CreateInstance(&obj), S_OK);
    EXPECT_EQ(obj->AddRef(), 1);

    void* out = nullptr;
    ASSERT_EQ(obj->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(static_cast<CTwoFaces*>(obj)));
    EXPECT_EQ(obj->Count(), 2);
    obj->Release();

    ASSERT_EQ(obj->QueryInterface(IID_CTwoFaces, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(static_cast<CTwoFaces*>(obj)));
    obj->Release();

    ASSERT_EQ(obj->QueryInterface(IID_IBeta, &out), S_OK);
    IBeta* beta = static_cast<IBeta*>(out);
    EXPECT_EQ(beta, static_cast<IBeta*>(obj));
    EXPECT_EQ(beta->Beta(), 2);
    // Through the secondary interface to the primary one.
    ASSERT_EQ(beta->QueryInterface(IID_IAlpha, &out), S_OK);
    EXPECT_EQ(static_cast<IAlpha*>(out)->Alpha(), 1);
    EXPECT_EQ(obj->Count(), 3);
    static_cast<IAlpha*>(out)->Release();
    beta->Release();

    out = &out;
    EXPECT_EQ(obj->QueryInterface(IID_IGamma, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(obj->QueryInterface(WithReserved(IID_IAlpha, 9), &out), E_NOINTERFACE);
    EXPECT_EQ(obj->QueryInterface(IID_IAlpha, nullptr), E_POINTER);
    EXPECT_EQ(obj->Count(), 1);

    EXPECT_EQ(s_liveObjects, 1);
    EXPECT_EQ(obj->Release(), 0);
    EXPECT_EQ(s_liveObjects, 0);
}

TEST(ObjectMap, FirstRowAnswersIUnknownAtItsOffset)
{
    CComObject<CBetaFirst>* obj = nullptr;
    ASSERT_EQ(CComObject<CBetaFirst>::CreateInstance(&obj), S_OK);
    obj->AddRef();
    void* out = nullptr;
    ASSERT_EQ(obj->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(static_cast<IBeta*>(obj)));
    EXPECT_NE(out, static_cast<void*>(static_cast<CBetaFirst*>(obj)));
    static_cast<IBeta*>(out)->Release();
    obj->Release();
}

TEST(ObjectMap, ClassOnlyMapAnswersClassAndIUnknownOnly)
{
    CComObject<COnlyClass>* obj = nullptr;
    ASSERT_EQ(CComObject<COnlyClass>::CreateInstance(&obj), S_OK);
    obj->AddRef();
    void* out = nullptr;
    EXPECT_EQ(obj->QueryInterface(IID_COnlyClass, &out), S_OK);
    obj->Release();
    EXPECT_EQ(obj->QueryInterface(IID_IUnknown, &out), S_OK);
    obj->Release();
    EXPECT_EQ(obj->QueryInterface(IID_IAlpha, &out), E_NOINTERFACE);
    obj->Release();
}

TEST(ObjectFactory, NewAnswersTheQueryAndFailedQueryDestroys)
{
    void* out = nullptr;
    ASSERT_EQ(CFactoryImpl<CTwoFaces>::New(IID_IBeta, &out), S_OK);
    EXPECT_EQ(s_liveObjects, 1);
    IBeta* beta = static_cast<IBeta*>(out);
    EXPECT_EQ(beta->Release(), 0);
    EXPECT_EQ(s_liveObjects, 0);

    out = &out;
    EXPECT_EQ(CFactoryImpl<CTwoFaces>::New(IID_IGamma, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(s_liveObjects, 0);
    EXPECT_EQ(CFactoryImpl<CTwoFaces>::New(IID_IAlpha, nullptr), E_POINTER);
}

std::atomic<int> s_singletonConstructed {0};
std::atomic<int> s_singletonInitialized {0};
std::atomic<int> s_singletonAlive {0};

class CTheOne : public IGamma, public CSingletonFactoryImpl<CTheOne>, public CComObjectRoot {
public:
    CTheOne()
    {
        ++s_singletonConstructed;
        ++s_singletonAlive;
        // A slow constructor widens the window for a second creation.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~CTheOne() override { --s_singletonAlive; }
    HRESULT Initialize() override
    {
        ++s_singletonInitialized;
        return CSingletonFactoryImpl<CTheOne>::Initialize();
    }
    int Gamma() override { return 42; }

    ZELK_BEGIN_INTMAP(CTheOne)
    ZELK_INTMAP_ENTRY(IGamma)
    ZELK_END_INTMAP()
};

TEST(ObjectSingleton, CreatedOnceUnderConcurrencyAndAgainAfterStop)
{
    unsigned before = CSingletons::Count();
    s_singletonConstructed = 0;
    s_singletonInitialized = 0;
    std::vector<void*> got(8, nullptr);
    std::vector<HRESULT> results(8, E_FAIL);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { results[i] = CTheOne::New(IID_IGamma, &got[i]); });
    for (auto& t : threads)
        t.join();
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(results[i], S_OK);
        EXPECT_EQ(got[i], got[0]);
    }
    EXPECT_EQ(s_singletonConstructed.load(), 1);
    EXPECT_EQ(s_singletonInitialized.load(), 1);
    EXPECT_EQ(CSingletons::Count(), before + 1);

    // A missing interface leaves the singleton in place.
    void* out = &out;
    EXPECT_EQ(CTheOne::New(IID_IAlpha, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CSingletons::Count(), before + 1);

    CTheOne* typed = nullptr;
    ASSERT_EQ(CTheOne::New(&typed), S_OK);
    EXPECT_EQ(static_cast<IGamma*>(typed), got[0]);
    typed->Release();
    for (void* p : got)
        static_cast<IGamma*>(p)->Release();
    EXPECT_EQ(s_singletonAlive.load(), 1);  // the registry's reference keeps it

    // The registry's stop drops that reference; the next request builds anew.
    CSingletons::Finalize();
    EXPECT_EQ(s_singletonAlive.load(), 0);
    EXPECT_EQ(CSingletons::Count(), before);
    ASSERT_EQ(CTheOne::New(IID_IGamma, &out), S_OK);
    EXPECT_EQ(s_singletonConstructed.load(), 2);
    EXPECT_EQ(CSingletons::Count(), before + 1);
    static_cast<IGamma*>(out)->Release();
    CSingletons::Finalize();
    EXPECT_EQ(s_singletonAlive.load(), 0);
}

// ---- CComPtr ---------------------------------------------------------------

using AlphaPtr = ZELK_PTR(IAlpha);
using BetaPtr = ZELK_PTR(IBeta);

class PtrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CComObject<CTwoFaces>::CreateInstance(&obj), S_OK);
        obj->AddRef();
    }
    void TearDown() override
    {
        EXPECT_EQ(obj->Release(), 0);
        EXPECT_EQ(s_liveObjects, 0);
    }
    CComObject<CTwoFaces>* obj = nullptr;
};

TEST_F(PtrTest, HoldsOneReference)
{
    {
        AlphaPtr a(static_cast<IAlpha*>(obj));
        EXPECT_EQ(obj->Count(), 2);
        AlphaPtr copy(a);
        EXPECT_EQ(obj->Count(), 3);
        EXPECT_TRUE(copy == a);
        EXPECT_TRUE(a == static_cast<IAlpha*>(obj));
        EXPECT_TRUE(static_cast<IAlpha*>(obj) == a);
        EXPECT_FALSE(a != static_cast<IAlpha*>(obj));
        EXPECT_TRUE(nullptr != a);
        EXPECT_FALSE(a == nullptr);
        EXPECT_EQ(a->Alpha(), 1);
        EXPECT_TRUE(AlphaPtr::GetIID() == IID_IAlpha);
    }
    EXPECT_EQ(obj->Count(), 1);
    AlphaPtr empty(0);
    EXPECT_TRUE(empty == nullptr);
    EXPECT_TRUE(!empty);
}

TEST_F(PtrTest, SelfAssignmentKeepsTheCount)
{
    AlphaPtr a(static_cast<IAlpha*>(obj));
    a = a.getObject();
    EXPECT_EQ(obj->Count(), 2);
    AlphaPtr& same = a;
    a = same;
    EXPECT_EQ(obj->Count(), 2);
    a = nullptr;
    EXPECT_EQ(obj->Count(), 1);
}

TEST_F(PtrTest, AssignmentFromPointerKeptAliveOnlyByTheOldOne)
{
    // The holder owns the only reference of obj2; assigning obj2's own pointer
    // must not free it on the way.
    CComObject<CTwoFaces>* obj2 = nullptr;
    ASSERT_EQ(CComObject<CTwoFaces>::CreateInstance(&obj2), S_OK);
    AlphaPtr a(static_cast<IAlpha*>(obj2));
    EXPECT_EQ(obj2->Count(), 1);
    a = static_cast<IAlpha*>(obj2);
    EXPECT_EQ(obj2->Count(), 1);
    EXPECT_EQ(s_liveObjects, 2);
}

TEST_F(PtrTest, OperatorAddressReleasesFirst)
{
    AlphaPtr a(static_cast<IAlpha*>(obj));
    EXPECT_EQ(obj->Count(), 2);
    IAlpha** slot = &a;
    EXPECT_EQ(obj->Count(), 1);
    EXPECT_EQ(*slot, nullptr);
    ASSERT_EQ(obj->QueryInterface(IID_IAlpha, reinterpret_cast<void**>(slot)), S_OK);
    EXPECT_EQ(obj->Count(), 2);
    EXPECT_EQ(a->Alpha(), 1);
}

TEST_F(PtrTest, QueryFromOtherKinds)
{
    AlphaPtr a(static_cast<IAlpha*>(obj));
    BetaPtr b(a);
    ASSERT_FALSE(!b);
    EXPECT_EQ(b->Beta(), 2);
    EXPECT_EQ(obj->Count(), 3);

    // From the class pointer.
    BetaPtr c(obj);
    EXPECT_EQ(obj->Count(), 4);

    // A miss leaves the target empty and the count unchanged.
    ZELK_PTR(IGamma) g(obj);
    EXPECT_TRUE(g == nullptr);
    EXPECT_EQ(obj->Count(), 4);
    g = a;
    EXPECT_TRUE(g == nullptr);

    // From NULL: emptied, 0x80000004.
    IAlpha* none = nullptr;
    EXPECT_EQ(c._QueryInterface(none), E_NOINTERFACE);
    EXPECT_TRUE(c == nullptr);
    EXPECT_EQ(obj->Count(), 3);
    EXPECT_EQ(c._QueryInterface(static_cast<IAlpha*>(obj)), S_OK);
    EXPECT_EQ(obj->Count(), 4);
}

TEST_F(PtrTest, DetachAttachMovesWithoutCountChange)
{
    AlphaPtr a(static_cast<IAlpha*>(obj));
    AlphaPtr b;
    EXPECT_EQ(obj->Count(), 2);
    b.Attach(a.Detach());
    EXPECT_EQ(obj->Count(), 2);
    EXPECT_TRUE(a == nullptr);
    EXPECT_TRUE(b == static_cast<IAlpha*>(obj));
    b._AddRef();
    EXPECT_EQ(obj->Count(), 3);
    b._Release();
    EXPECT_EQ(obj->Count(), 2);
}

}  // namespace
