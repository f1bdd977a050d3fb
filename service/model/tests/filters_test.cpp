// Filtered views and union groups over real containers, and the three
// filters of the credential lists.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/model_filter.h"
#include "model/model_owncerts.h"
#include "model/model_tokens.h"
#include "model_fixture.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

// A row with a name.
class NamedItem : public CGUIModelItem<IGUIModelItem>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(NamedItem)
    ZELK_INTMAP_ENTRY(IGUIModelItem)
    ZELK_INTMAP_ENTRY(IGUIModel)
    ZELK_END_INTMAP()

    HRESULT RefreshItemInfo() override
    {
        SetItemInfo(ICON_NONE, m_name.c_str());
        return S_OK;
    }
    void Change() { NextRevision(); }
    std::string m_name;
};

CComObject<NamedItem>* NewItem(const std::string& name)
{
    CComObject<NamedItem>* item = nullptr;
    CComObject<NamedItem>::CreateInstance(&item);
    item->AddRef();
    item->m_name = name;
    return item;
}

class List : public CGUIModelContainer<IGUIModelContainer, IGUIModelItem>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(List)
    ZELK_INTMAP_ENTRY(IGUIModelContainer)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModel, IGUIModelContainer)
    ZELK_END_INTMAP()

    void Add(IGUIModelItem* item)
    {
        {
            ZELK::CriticalCodeSection lock(GetCriticalSection());
            m_elements.Add(item);
        }
        NextRevision();
    }
    void Remove(uint64_t index)
    {
        {
            ZELK::CriticalCodeSection lock(GetCriticalSection());
            m_elements.Delete(index);
        }
        NextRevision();
    }
};

CComObject<List>* NewList(const std::vector<CComObject<NamedItem>*>& items)
{
    CComObject<List>* list = nullptr;
    CComObject<List>::CreateInstance(&list);
    list->AddRef();
    for (auto* item : items)
        list->Add(item);
    return list;
}

// Keeps the rows whose name begins with "keep".
class KeepFilter : public CModelFilter {
public:
    KeepFilter() = default;
    explicit KeepFilter(const char* className) : CModelFilter(className) {}
    bool IsMember(IGUIModel* element) override
    {
        void* item = nullptr;
        if (FAILED(element->QueryInterface(IID_IGUIModelItem, &item)))
            return false;
        char* text = nullptr;
        static_cast<IGUIModelItem*>(item)->GetItemInfo(nullptr, &text);
        bool keep = text != nullptr && std::string(text).rfind("keep", 0) == 0;
        sec_free(text);
        static_cast<IGUIModelItem*>(item)->Release();
        return keep;
    }
};

CComObject<List>* s_namedList = nullptr;

HRESULT CreateNamedList(const GUID& iid, void** out)
{
    return s_namedList ? s_namedList->QueryInterface(iid, out) : E_FAIL;
}

CZELK_CLASS s_listClass("zelk", "test.list", &CreateNamedList);

class FiltersTest : public ModelTest {};

TEST_F(FiltersTest, TokenUriTests)
{
    const struct {
        const char* uri;
        bool kestrin;
        bool local;
    } cases[] = {
        {"toksw:mem://kestrin/profile", true, false},
        {"TOKSW:MEM://KESTRIN/Group/Profile", true, false},
        {"toksw:mem://other/profile", false, false},
        {"toksw:mem://kestrin", false, false},
        {"tokkeychain:cert=01", false, true},
        {"TokKeychain:", false, true},
        {"secpcsc:reader", false, false},
        {"", false, false},
        {nullptr, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsKestrinToken(c.uri), c.kestrin) << (c.uri ? c.uri : "NULL");
        EXPECT_EQ(IsLocalToken(c.uri), c.local) << (c.uri ? c.uri : "NULL");
    }
}

TEST_F(FiltersTest, GroupConcatenatesContainersAndItems)
{
    auto* a = NewItem("a");
    auto* b = NewItem("b");
    auto* c = NewItem("c");
    auto* single = NewItem("single");
    CComObject<List>* list = NewList({a, b, c});
    CComObject<CModelGroup>* group = nullptr;
    ASSERT_EQ(CComObject<CModelGroup>::CreateInstance(&group), S_OK);
    group->AddRef();
    EXPECT_EQ(group->AddGroupMember(static_cast<IGUIModel*>(nullptr)), E_FAIL);
    EXPECT_EQ(group->AddGroupMember("no.such.model"), E_FAIL);
    EXPECT_EQ(group->GetRevision(), 0);
    ASSERT_EQ(group->AddGroupMember(static_cast<IGUIModelContainer*>(list)), S_OK);
    ASSERT_EQ(group->AddGroupMember(static_cast<IGUIModelItem*>(single)), S_OK);
    EXPECT_EQ(group->GetElementCount(), 4u);

    const struct {
        unsigned long index;
        HRESULT answer;
        CComObject<NamedItem>* item;
    } cases[] = {{0, S_OK, a}, {2, S_OK, c}, {3, S_OK, single}, {4, E_FAIL, nullptr}};
    for (const auto& k : cases) {
        void* out = nullptr;
        EXPECT_EQ(group->GetElement(k.index, IID_IGUIModelItem, &out), k.answer) << k.index;
        EXPECT_EQ(out, k.item ? static_cast<IGUIModelItem*>(k.item) : nullptr);
        if (out)
            static_cast<IGUIModelItem*>(out)->Release();
    }
    void* query = nullptr;
    ASSERT_EQ(group->QueryInterface(IID_IGUIModel, &query), S_OK);
    EXPECT_EQ(query, static_cast<IGUIModelContainer*>(group));
    static_cast<IGUIModel*>(query)->Release();
    EXPECT_EQ(group->Contains(static_cast<IGUIModelItem*>(b)), 1);
    EXPECT_EQ(group->Contains(static_cast<IGUIModelItem*>(single)), 1);
    EXPECT_EQ(group->Contains(static_cast<IGUIModelContainer*>(list)), 0);

    // A container's change is counted; an item's is not.
    const int64_t revision = group->GetRevision();
    list->Remove(0);
    EXPECT_EQ(group->GetElementCount(), 3u);
    EXPECT_EQ(group->GetRevision(), revision + 1);
    single->Change();
    EXPECT_EQ(group->GetRevision(), revision + 1);

    group->Release();
    // The group left the list: a change no longer reaches it.
    list->Add(a);
    for (auto* item : {a, b, c, single})
        item->Release();
    list->Release();
}

TEST_F(FiltersTest, FilterFollowsItsSourcesMembership)
{
    auto* keep1 = NewItem("keep one");
    auto* keep2 = NewItem("keep two");
    auto* drop = NewItem("drop");
    s_namedList = NewList({keep1, drop});
    CComObject<KeepFilter>* filter = nullptr;
    ASSERT_EQ(CComObject<KeepFilter>::CreateInstance(&filter, "test.list"), S_OK);
    filter->AddRef();
    // Filled by the first read, not before.
    EXPECT_EQ(filter->GetRevision(), 0);
    EXPECT_EQ(filter->GetElementCount(), 1u);
    EXPECT_EQ(filter->GetRevision(), 1);

    auto* drop2 = NewItem("drop too");
    s_namedList->Add(drop2);  // same members: no new revision
    EXPECT_EQ(filter->GetRevision(), 1);
    s_namedList->Add(keep2);
    EXPECT_EQ(filter->GetElementCount(), 2u);
    EXPECT_EQ(filter->GetRevision(), 2);
    s_namedList->Remove(0);  // keep one goes
    EXPECT_EQ(filter->GetElementCount(), 1u);
    EXPECT_EQ(filter->GetRevision(), 3);
    EXPECT_EQ(filter->Contains(static_cast<IGUIModelItem*>(keep2)), 1);

    void* out = nullptr;
    EXPECT_EQ(filter->QueryInterface(IID_IGUIModel, &out), E_NOINTERFACE);
    ASSERT_EQ(filter->QueryInterface(IID_IGUIModelContainer, &out), S_OK);
    static_cast<IGUIModelContainer*>(out)->Release();

    EXPECT_EQ(filter->SetContainer(static_cast<IGUIModelContainer*>(s_namedList)), S_FALSE);
    EXPECT_EQ(filter->GetRevision(), 3);
    EXPECT_EQ(filter->SetContainer(static_cast<IGUIModelContainer*>(nullptr)), S_OK);
    EXPECT_EQ(filter->GetElementCount(), 0u);
    EXPECT_EQ(filter->GetRevision(), 4);
    filter->RefreshCB(0);
    EXPECT_EQ(filter->GetRevision(), 4);
    auto* keep3 = NewItem("keep three");
    s_namedList->Add(keep3);  // no longer followed
    EXPECT_EQ(filter->GetRevision(), 4);
    filter->Release();
    s_namedList->Release();
    s_namedList = nullptr;
    for (auto* item : {keep1, keep2, keep3, drop, drop2})
        item->Release();
}

// The first fill collects an older list than a change that lands meanwhile:
// the older list does not replace the newer one.
TEST_F(FiltersTest, AnOlderListNeverReplacesANewerOne)
{
    struct PausingFilter : KeepFilter {
        explicit PausingFilter(const char* className) : KeepFilter(className) {}
        bool IsMember(IGUIModel* element) override
        {
            if (std::this_thread::get_id() == pauseOn) {
                paused = true;
                while (!resume)
                    std::this_thread::yield();
            }
            return KeepFilter::IsMember(element);
        }
        std::thread::id pauseOn;
        std::atomic<bool> paused {false}, resume {false};
    };
    auto* keep1 = NewItem("keep one");
    auto* keep2 = NewItem("keep two");
    s_namedList = NewList({keep1});
    CComObject<PausingFilter>* filter = nullptr;
    ASSERT_EQ(CComObject<PausingFilter>::CreateInstance(&filter, "test.list"), S_OK);
    filter->AddRef();
    std::thread first([&] {
        filter->pauseOn = std::this_thread::get_id();
        filter->GetElementCount();
    });
    ASSERT_TRUE(kestrin::service::test::WaitFor([&] { return filter->paused.load(); }));
    s_namedList->Add(keep2);  // refreshes the filter on this thread with both rows
    filter->resume = true;
    first.join();
    EXPECT_EQ(filter->GetElementCount(), 2u);
    EXPECT_EQ(filter->Contains(static_cast<IGUIModelItem*>(keep2)), 1);
    filter->Release();
    s_namedList->Release();
    s_namedList = nullptr;
    keep1->Release();
    keep2->Release();
}

TEST_F(FiltersTest, LocalCertificatesFilterKeepsKeyStoreIdentities)
{
    ASSERT_TRUE(TestCerts::Get().ok);
    CModelOwnCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
    const char* slots[] = {"tokkeychain:a", "toksw:mem://kestrin/p", "secpcsc:r", "TOKKEYCHAIN:b"};
    std::vector<PersonalCertificateInfo*> pcis;
    for (const char* slot : slots) {
        pcis.push_back(NewPci(slot, "alice", slot));
        certs->AddCert(pcis.back(), slot, nullptr, false);
    }
    IGUIModelContainer* local = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.model.localcerts.only", IID_IGUIModelContainer,
                                reinterpret_cast<void**>(&local)),
              S_OK);
    EXPECT_EQ(local->GetElementCount(), 2u);
    certs->DelCert(pcis[0]);
    EXPECT_EQ(local->GetElementCount(), 1u);
    IGUIModelOwnCert* own = nullptr;
    ASSERT_EQ(local->GetElement(0, IID_IGUIModelOwnCert, reinterpret_cast<void**>(&own)), S_OK);
    EXPECT_STREQ(own->GetURI(), "TOKKEYCHAIN:b");
    own->Release();
    local->Release();
    for (auto* pci : pcis)
        FreePci(pci);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
}

// The profile window's list: own certificates of profiles are left to their
// profile rows, the local server is hidden, other tokens and credentials show.
TEST_F(FiltersTest, ProfileRowsStandForTheirCertificates)
{
    ASSERT_TRUE(TestCerts::Get().ok);
    CModelOwnCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
    std::vector<PersonalCertificateInfo*> pcis = {NewPci("tokkeychain:id", "alice"),
                                                  NewPci("toksw:mem://kestrin/sales/p", "carol")};
    for (auto* pci : pcis)
        certs->AddCert(pci, pci->tokenName, nullptr, false);
    const struct {
        const char* name;
        IGUIModelToken_Type type;
        bool ex;       // in "zelk.model.owncerts.and.kerberos.ex"
        bool kestrin;  // in "zelk.model.owncerts.kestrin"
    } tokens[] = {
        {"toksw:mem://kestrin/sales/p", TOKEN_TYPE_PROFILE, true, true},
        {"toksw:mem://kestrin/localserver", TOKEN_TYPE_LOCALSERVER, false, true},
        {"tokkeychain:id", TOKEN_TYPE_KEYCHAIN, false, false},
        {"secpcsc:reader", TOKEN_TYPE_SMARTCARD, false, false},
    };
    std::vector<CModelToken*> rows;
    for (const auto& t : tokens) {
        CModelToken* row = nullptr;
        ASSERT_EQ(CModelTokens::NewTokenInfo(t.name, &row), S_OK);
        row->SetTokenType(t.type);
        CModelTokens::RegisterToken(row);
        rows.push_back(row);
    }
    IGUIModelContainer* ex = nullptr;
    IGUIModelContainer* kestrin = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.model.owncerts.and.kerberos.ex", IID_IGUIModelContainer,
                                reinterpret_cast<void**>(&ex)),
              S_OK);
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.model.owncerts.kestrin", IID_IGUIModelContainer,
                                reinterpret_cast<void**>(&kestrin)),
              S_OK);
    // Own certificates: only the key store's shows in both lists; the
    // encryption-only and Kerberos rows show in the first.
    EXPECT_EQ(ex->GetElementCount(), 4u);
    EXPECT_EQ(kestrin->GetElementCount(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
        IUnknown* unknown = static_cast<IGUIModelToken*>(rows[i]);
        EXPECT_EQ(ex->Contains(unknown), tokens[i].ex ? 1 : 0) << tokens[i].name;
        EXPECT_EQ(kestrin->Contains(unknown), tokens[i].kestrin ? 1 : 0) << tokens[i].name;
    }
    // A new credential of the key store shows at once; one of a profile does not.
    const int64_t revision = ex->GetRevision();
    PersonalCertificateInfo* more = NewPci("toksw:mem://kestrin/sales/p", "bob2020");
    certs->AddCert(more, more->tokenName, nullptr, false);
    EXPECT_EQ(ex->GetRevision(), revision);
    pcis.push_back(more);
    more = NewPci("tokkeychain:id2", "bob2020");
    certs->AddCert(more, more->tokenName, nullptr, false);
    EXPECT_EQ(ex->GetRevision(), revision + 1);
    EXPECT_EQ(ex->GetElementCount(), 5u);
    pcis.push_back(more);
    ex->Release();
    kestrin->Release();
    for (CModelToken* row : rows)
        static_cast<IGUIModelToken*>(row)->Release();
    for (auto* pci : pcis)
        FreePci(pci);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
}

// A viewer is told on the changing thread with its key, and can read the
// list back from inside the callback.
class Recorder final : public IGUIRefreshCB {
public:
    explicit Recorder(IGUIModelContainer* list) : m_list(list) {}
    virtual ~Recorder() = default;
    HRESULT RefreshCB(unsigned long key) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({key, std::this_thread::get_id(), m_list->GetElementCount()});
        return S_OK;
    }
    struct Call {
        unsigned long key;
        std::thread::id thread;
        uint64_t count;
    };
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    IGUIModelContainer* m_list;
    std::mutex m_mutex;
    std::vector<Call> m_calls;
};

TEST_F(FiltersTest, ViewersAreToldOnTheChangingThreadAndReadBack)
{
    ASSERT_TRUE(TestCerts::Get().ok);
    CModelOwnCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
    IGUIModelContainer* local = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.model.localcerts.only", IID_IGUIModelContainer,
                                reinterpret_cast<void**>(&local)),
              S_OK);
    EXPECT_EQ(local->GetElementCount(), 0u);
    Recorder recorder(local);
    ASSERT_EQ(local->RegisterCallback(&recorder, 42), S_OK);
    PersonalCertificateInfo* pci = NewPci("tokkeychain:v", "alice");
    std::thread::id changer;
    std::thread thread([&] {
        changer = std::this_thread::get_id();
        certs->AddCert(pci, "tokkeychain:v", nullptr, false);
        certs->DelCert(pci);
    });
    thread.join();
    std::vector<Recorder::Call> calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].key, 42u);
        EXPECT_EQ(calls[i].thread, changer);
        EXPECT_EQ(calls[i].count, i == 0 ? 1u : 0u);
    }
    EXPECT_EQ(local->UnRegisterCallback(&recorder, 42), S_OK);
    local->Release();
    FreePci(pci);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
}

// Adders and deleters of credentials race readers of a filter over them; the
// deleters notify outside the container's lock, so every thread ends.
TEST_F(FiltersTest, ChangesRaceReadersWithoutDeadlock)
{
    ASSERT_TRUE(TestCerts::Get().ok);
    CModelOwnCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
    IGUIModelContainer* local = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.model.localcerts.only", IID_IGUIModelContainer,
                                reinterpret_cast<void**>(&local)),
              S_OK);
    local->GetElementCount();
    std::vector<PersonalCertificateInfo*> pcis;
    for (int i = 0; i < 8; ++i)
        pcis.push_back(NewPci("tokkeychain:race", i % 2 ? "alice" : "carol", std::to_string(i).c_str()));
    std::atomic<bool> stop {false};
    auto work = std::async(std::launch::async, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 150; ++round) {
                    PersonalCertificateInfo* pci = pcis[(t * 2 + round) % pcis.size()];
                    if (round % 2 == 0)
                        certs->AddCert(pci, "tokkeychain:race", nullptr, false);
                    else
                        certs->DelCert(pci);
                }
            });
        }
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&] {
                while (!stop) {
                    for (unsigned long i = 0; i < local->GetElementCount(); ++i) {
                        IGUIModelItem* item = nullptr;
                        if (local->GetElement(i, IID_IGUIModelItem, reinterpret_cast<void**>(&item)) == S_OK) {
                            char* text = nullptr;
                            item->GetItemInfo(nullptr, &text);
                            sec_free(text);
                            item->Release();
                        }
                    }
                }
            });
        }
        for (int t = 0; t < 4; ++t)
            threads[t].join();
        stop = true;
        for (size_t t = 4; t < threads.size(); ++t)
            threads[t].join();
    });
    ASSERT_EQ(work.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "changes deadlocked";
    certs->DelCertsBySlot("tokkeychain:race");
    EXPECT_EQ(local->GetElementCount(), 0u);
    local->Release();
    for (auto* pci : pcis)
        FreePci(pci);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
}

}  // namespace
}  // namespace kestrin::model::test
