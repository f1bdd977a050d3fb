// The process's security context of module "zelkbase" and the own
// certificates of its PSE, over a module "zelk" that provides a PSE double
// with scripted own certificates. The module keeps its singletons until the
// process ends, so each test needs a process of its own (as ctest runs them).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pse/own_certificates.h"
#include "qev_doubles.h"
#include "zelk_base_asc.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace kestrin::base::test {
namespace {

using qevtest::FakePSE;
using qevtest::Type;

struct TEST_PSE_TABLE : API_COMMON {
    void (*SetPSE)(PSE* pse);
};

// A record with token URI, key identifier and label; the caller owns one reference.
PersonalCertificateInfo* Record(const std::string& uri, const char* keyId, const char* label)
{
    void* info = nullptr;
    EXPECT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->new_node(&info), S_OK);
    auto* record = static_cast<PersonalCertificateInfo*>(info);
    const SEC_TYPE_TABLE* strings = Type(SEC_TYPE_String);
    strings->copy(uri.c_str(), reinterpret_cast<void**>(&record->tokenName));
    strings->copy(keyId, reinterpret_cast<void**>(&record->keyId));
    strings->copy(label, reinterpret_cast<void**>(&record->label));
    return record;
}

// The crypto library unloads modules without finalising them. Keeping the
// modules mapped keeps zelkbase's singletons reachable, as they are in the
// application, which never unloads a module (and keeps the thread-local
// storage of every module valid for the leak checker).
void PinModules()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string lib(exe, static_cast<size_t>(n));
    lib = lib.substr(0, lib.rfind('/')) + "/../lib/";
    for (const char* module : {"libzelkbase.so", "libzelkstring.so"})
        ASSERT_NE(dlopen((lib + module).c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE), nullptr) << dlerror();
}

// The module's classes export no type information: calls through their class
// pointers are kept out of the sanitizer's dynamic type check.
__attribute__((no_sanitize("vptr"))) COwnCertificates* AsClass(IContainerRO* container)
{
    return static_cast<COwnCertificates*>(container);
}
__attribute__((no_sanitize("vptr"))) HRESULT Refresh(COwnCertificates* owned)
{
    return owned->Refresh();
}
__attribute__((no_sanitize("vptr"))) HRESULT ItemOf(COwnCertificates* owned, unsigned long index, COwnCertificate** out)
{
    return owned->GetItem(index, out);
}
__attribute__((no_sanitize("vptr"))) int GetAttr(COwnCertificate* item, SECAttribute* attributes)
{
    return item->GetAttr(attributes);
}
__attribute__((no_sanitize("vptr"))) void Release(COwnCertificate* item)
{
    item->Release();
}

long RefsOf(ASC* asc)
{
    const long n = asc->AddRef();
    asc->Release();
    return n - 1;
}

bool s_ran = false;

class PseAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (s_ran)
            GTEST_SKIP() << "needs a process of its own";
        s_ran = true;
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_EQ(ZELK_GetAPI("zelk", "zelk.test.pse", &m_testApi), S_OK);
        ASSERT_EQ(ZELK_GetAPI("zelkbase", ZELKBASE_ASC_API, &m_api), S_OK);
        PinModules();
        m_pse = new FakePSE();
        for (const char* id : {"a", "b"}) {
            PersonalCertificateInfo* record = Record(std::string("tokkeychain:cert=") + id, id, "label");
            m_pse->AddOwnCertificate(record);
            Type(SEC_TYPE_PersonalCertificateInfo)->free(record);
        }
    }
    // The module's singletons keep their references to the PSE double.
    void TearDown() override
    {
        if (m_testApi == nullptr)
            return;
        if (m_owned != nullptr)
            m_owned->Release();
        Test()->SetPSE(nullptr);
        if (m_pse != nullptr)
            m_pse->Release();
        ZELK_ReleaseAPI(&m_api);
        ZELK_ReleaseAPI(&m_testApi);
        EXPECT_EQ(ZELK_Finalize(), S_OK);
    }

    const TEST_PSE_TABLE* Test() { return ZELK_ApiCast<TEST_PSE_TABLE>(m_testApi); }
    const ZELKBASE_ASC_FUNCTIONS* Api() { return ZELK_ApiCast<ZELKBASE_ASC_FUNCTIONS>(m_api); }

    // "OwnCertificates" as the class it is; the test keeps one reference.
    COwnCertificates* Owned()
    {
        IContainerRO* container = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_OWN_CERTIFICATES, IID_IContainerRO,
                                    reinterpret_cast<void**>(&container)),
                  S_OK);
        m_owned = container;
        return AsClass(container);
    }

    std::string UriOf(COwnCertificates* owned, unsigned long index)
    {
        COwnCertificate* item = nullptr;
        EXPECT_EQ(ItemOf(owned, index, &item), S_OK);
        SECAttribute a {ZELK_ATTR_OWNCERT_TOKEN_URI, nullptr, 0, 0, 0, nullptr, nullptr};
        GetAttr(item, &a);
        std::string uri = a.value != nullptr ? static_cast<char*>(a.value) : "";
        Type(SEC_TYPE_String)->free(a.value);
        Release(item);
        return uri;
    }

    // Every item, one reference each.
    std::vector<COwnCertificate*> Items(COwnCertificates* owned)
    {
        std::vector<COwnCertificate*> items(Count(m_owned));
        for (unsigned long i = 0; i < items.size(); ++i)
            EXPECT_EQ(ItemOf(owned, i, &items[i]), S_OK);
        return items;
    }

    unsigned long Count(IContainerRO* container)
    {
        unsigned long count = 99;
        EXPECT_EQ(container->GetCount(&count), S_OK);
        return count;
    }

    API_COMMON* m_testApi = nullptr;
    API_COMMON* m_api = nullptr;
    FakePSE* m_pse = nullptr;
    IContainerRO* m_owned = nullptr;
};

TEST_F(PseAccess, HandsOutOneContextAndItsPseWithReferencesOfTheirOwn)
{
    Test()->SetPSE(m_pse);
    ASC* first = nullptr;
    ASC* second = nullptr;
    ASSERT_EQ(Api()->ASC_GetASC(&first), S_OK);
    ASSERT_EQ(Api()->ASC_GetASC(&second), S_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    const long both = RefsOf(first);
    second->Release();
    EXPECT_EQ(RefsOf(first), both - 1);

    PSE* pse = nullptr;
    ASSERT_EQ(Api()->ASC_GetPSE(&pse), S_OK);
    EXPECT_EQ(pse, static_cast<PSE*>(m_pse));
    const long held = m_pse->References();
    pse->Release();
    EXPECT_EQ(m_pse->References(), held - 1);

    // The library's context offers neither accessor: its answer is passed on.
    int db = 0;
    EXPECT_EQ(Api()->ASC_GetDB_CERT(&db), E_NOTIMPL);
    EXPECT_EQ(Api()->ASC_GetVerificationContext(&db), E_NOTIMPL);
    first->Release();

    IUnknown* object = nullptr;
    EXPECT_EQ(ZELK_CreateObject("zelkbase", ZELK_CLASS_PSE, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    ASSERT_NE(object, nullptr);
    object->Release();
}

TEST_F(PseAccess, WithoutAProviderPseEveryAnswerIsAFailureAndTheListIsEmpty)
{
    ASC* asc = reinterpret_cast<ASC*>(this);
    EXPECT_EQ(Api()->ASC_GetASC(&asc), E_FAIL);
    EXPECT_EQ(asc, nullptr);
    PSE* pse = reinterpret_cast<PSE*>(this);
    EXPECT_EQ(Api()->ASC_GetPSE(&pse), E_FAIL);
    EXPECT_EQ(pse, nullptr);
    int db = 0;
    EXPECT_EQ(Api()->ASC_GetDB_CERT(&db), E_FAIL);
    EXPECT_EQ(Api()->ASC_GetVerificationContext(&db), E_FAIL);
    EXPECT_EQ(Api()->ASC_GetASC(nullptr), E_POINTER);
    EXPECT_EQ((Owned(), Count(m_owned)), 0u);
}

TEST_F(PseAccess, OwnCertificatesAnswerTheirRecordsTexts)
{
    Test()->SetPSE(m_pse);
    COwnCertificates* owned = Owned();
    ASSERT_EQ(Count(m_owned), 2u);
    std::string uris[2] = {UriOf(owned, 0), UriOf(owned, 1)};
    std::sort(std::begin(uris), std::end(uris));
    EXPECT_EQ(uris[0], "tokkeychain:cert=a");
    EXPECT_EQ(uris[1], "tokkeychain:cert=b");

    IAttributes* item = nullptr;
    ASSERT_EQ(m_owned->GetItem(0, IID_IAttributes, reinterpret_cast<void**>(&item)), S_OK);
    SECAttribute label {ZELK_ATTR_OWNCERT_LABEL, nullptr, 0, 0, 0, nullptr, nullptr};
    SECAttribute other {7, reinterpret_cast<void*>(&label), 0, 1, 0, nullptr, &label};
    SECAttribute keyId {ZELK_ATTR_OWNCERT_KEY_ID, nullptr, 0, 0, 0, nullptr, &other};
    SECAttribute uri {ZELK_ATTR_OWNCERT_TOKEN_URI, nullptr, 0, 0, 0, nullptr, &keyId};
    EXPECT_EQ(item->GetAttr(&uri), S_FALSE);
    EXPECT_EQ(uri.answered, 1);
    EXPECT_EQ(keyId.answered, 1);
    EXPECT_EQ(other.answered, 0);
    EXPECT_EQ(other.value, reinterpret_cast<void*>(&label));  // left alone
    EXPECT_EQ(label.answered, 1);
    ASSERT_NE(uri.value, nullptr);
    EXPECT_EQ(std::string("tokkeychain:cert=") + static_cast<char*>(keyId.value), static_cast<char*>(uri.value));
    EXPECT_STREQ(static_cast<char*>(label.value), "label");
    for (SECAttribute* a : {&uri, &keyId, &label}) {
        EXPECT_EQ(a->owned, 1);
        EXPECT_EQ(a->type, Type(SEC_TYPE_String));
        Type(SEC_TYPE_String)->free(a->value);
    }
    EXPECT_EQ(item->GetAttr(&label), S_OK);
    Type(SEC_TYPE_String)->free(label.value);
    EXPECT_EQ(item->SetAttr(&label), E_ACCESSDENIED);
    item->Release();
}

TEST_F(PseAccess, ARefreshKeepsItemsOnlyForTheVeryRecordsAndTheirRecordsOutliveThePse)
{
    Test()->SetPSE(m_pse);
    COwnCertificates* owned = Owned();
    ASSERT_EQ(Count(m_owned), 2u);
    COwnCertificate* before[2] = {};
    ASSERT_EQ(ItemOf(owned, 0, &before[0]), S_OK);
    ASSERT_EQ(ItemOf(owned, 1, &before[1]), S_OK);

    // The same records again, with one more: the two items stay as they are.
    PersonalCertificateInfo* third = Record("tokkeychain:cert=c", "c", "label");
    m_pse->AddOwnCertificate(third);
    EXPECT_EQ(Refresh(owned), S_OK);
    std::vector<COwnCertificate*> items = Items(owned);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(std::count(items.begin(), items.end(), before[0]) + std::count(items.begin(), items.end(), before[1]), 2);

    // An equal record that is not the same one gets an item of its own.
    PersonalCertificateInfo* copy = nullptr;
    ASSERT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->copy(third, reinterpret_cast<void**>(&copy)), S_OK);
    m_pse->ownFilter = [&](const PersonalCertificateInfo* info, SECAttribute*) { return info != third; };
    m_pse->AddOwnCertificate(copy);
    Type(SEC_TYPE_PersonalCertificateInfo)->free(copy);
    Type(SEC_TYPE_PersonalCertificateInfo)->free(third);
    EXPECT_EQ(Refresh(owned), S_OK);
    std::vector<COwnCertificate*> again = Items(owned);
    ASSERT_EQ(again.size(), 3u);
    int kept = 0;
    for (COwnCertificate* item : again)
        kept += std::count(items.begin(), items.end(), item) > 0 ? 1 : 0;
    EXPECT_EQ(kept, 2);
    for (COwnCertificate* item : items)
        Release(item);
    for (COwnCertificate* item : again)
        Release(item);

    // The PSE lost its certificates, then failed: empty lists, while the
    // items handed out keep their records.
    m_pse->ownFilter = [](const PersonalCertificateInfo*, SECAttribute*) { return false; };
    EXPECT_EQ(Refresh(owned), S_OK);
    m_pse->ownFilter = nullptr;
    EXPECT_EQ(Count(m_owned), 0u);
    m_pse->SetResult("getOwnCertificate", E_FAIL);
    EXPECT_EQ(Refresh(owned), S_OK);
    EXPECT_EQ(Count(m_owned), 0u);
    for (COwnCertificate* item : before) {
        SECAttribute uri {ZELK_ATTR_OWNCERT_TOKEN_URI, nullptr, 0, 0, 0, nullptr, nullptr};
        EXPECT_EQ(GetAttr(item, &uri), S_OK);
        EXPECT_EQ(std::string(static_cast<char*>(uri.value)).rfind("tokkeychain:cert=", 0), 0u);
        Type(SEC_TYPE_String)->free(uri.value);
        Release(item);
    }
}

}  // namespace
}  // namespace kestrin::base::test
