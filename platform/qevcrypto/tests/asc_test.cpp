// Security contexts ("SEC_ASC_1"), the library's "SEC_PSE_1", the module
// "secpse", the PSE folder ("SEC_CONFIG_1" slot 12) and path joining
// ("SEC_IO_1" slot 13).
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "data_home.h"
#include "qev_config.h"
#include "qev_fixture.h"
#include "qev_io.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "raw_pse.h"

namespace {

class SecurityContext : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        ascTable = ZELK_ApiCast<SEC_ASC_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_PSE_1", &table), S_OK);
        pseTable = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    }

    const RAW_PSE_PROBE* Probe()
    {
        API_COMMON* table = nullptr;
        EXPECT_EQ(list->get_api("qevrawpse", "rawpse.1", &table), S_OK);
        return ZELK_ApiCast<RAW_PSE_PROBE>(table);
    }

    TempDataHome home;
    const SEC_ASC_TABLE* ascTable = nullptr;
    const SEC_PSE_TABLE* pseTable = nullptr;
};

TEST_F(SecurityContext, ProviderModuleMakesThePseThatGetPseHandsOut)
{
    ASC* asc = nullptr;
    {
        // The chain is the caller's: the context keeps nothing of it.
        std::string provider = "qevrawpse";
        SECAttribute other {};
        other.id = 848;
        SECAttribute first {};
        first.id = 1;
        first.value = provider.data();
        first.next = &other;
        ASSERT_EQ(ascTable->create_ASC(&asc, &first), S_OK);
        provider.assign(provider.size(), 'x');
    }
    ASSERT_NE(asc, nullptr);
    const RAW_PSE_PROBE* probe = Probe();
    EXPECT_EQ(probe->live(), 1);
    EXPECT_EQ(probe->last_asc(), asc);
    EXPECT_STREQ(probe->last_provider(), "qevrawpse");

    PSE* pse = nullptr;
    ASSERT_EQ(asc->getPSE(&pse), S_OK);
    ASSERT_NE(pse, nullptr);
    EXPECT_STREQ(pse->getType(), RAW_PSE_TYPE);
    PSE* again = nullptr;
    ASSERT_EQ(asc->getPSE(&again), S_OK);
    EXPECT_EQ(again, pse);
    again->Release();
    // The library's own PSE of the context is never the provider's.
    PSE* own = nullptr;
    EXPECT_EQ(pseTable->create_PSE(&own, asc, nullptr), E_PSE_NOPSE);
    EXPECT_EQ(own, nullptr);

    EXPECT_EQ(asc->getCertDB(nullptr), E_NOTIMPL);
    EXPECT_EQ(asc->getVerificationContext(nullptr), E_NOTIMPL);
    char* text = nullptr;
    ASSERT_EQ(asc->print(&text, "", nullptr), S_OK);
    EXPECT_STREQ(text, "ASC provider qevrawpse");
    list->free(text);

    asc->Release();
    EXPECT_EQ(probe->live(), 1);  // the caller's reference keeps it
    pse->Release();
    EXPECT_EQ(probe->live(), 0);
}

TEST_F(SecurityContext, MissingModuleTableOrPseFailsWithItsCode)
{
    struct Case {
        const char* provider;
        bool refuse;
        HRESULT expected;
    };
    for (const Case& c : {Case {"qevnosuchmodule", false, ZELK_E_API_NOTFOUND},
                          Case {"qevrawa", false, ZELK_E_API_NOTFOUND}, Case {"qevrawpse", true, E_ACCESSDENIED}}) {
        SCOPED_TRACE(c.provider);
        SECAttribute refuse {};
        refuse.id = RAW_PSE_REFUSE_ATTRIBUTE;
        SECAttribute first {};
        first.id = 1;
        first.value = const_cast<char*>(c.provider);
        first.next = c.refuse ? &refuse : nullptr;
        ASC* asc = reinterpret_cast<ASC*>(&first);
        EXPECT_EQ(ascTable->create_ASC(&asc, &first), c.expected);
        EXPECT_EQ(asc, nullptr);
    }
    EXPECT_EQ(Probe()->live(), 0);
    EXPECT_EQ(ascTable->create_ASC(nullptr, nullptr), E_POINTER);
}

TEST_F(SecurityContext, WithoutProviderTheFilePseIsThePseAndMissingFileIsNoPse)
{
    SECAttribute only {};
    only.id = 848;
    ASC* asc = nullptr;
    ASSERT_EQ(ascTable->create_ASC(&asc, &only), S_OK);
    ASSERT_NE(asc, nullptr);
    PSE* pse = reinterpret_cast<PSE*>(asc);
    EXPECT_EQ(asc->getPSE(&pse), E_PSE_NOPSE);
    EXPECT_EQ(pse, nullptr);
    EXPECT_EQ(asc->getOwnPSE(&pse), E_PSE_NOPSE);
    EXPECT_EQ(pse, nullptr);
    EXPECT_EQ(pseTable->create_PSE(&pse, nullptr, nullptr), E_PSE_NOPSE);
    asc->Release();
}

TEST_F(SecurityContext, ModuleStaysLoadedWhileAContextUsesItsPse)
{
    SECAttribute first {};
    first.id = 1;
    first.value = const_cast<char*>("qevrawpse");
    ASC* asc = nullptr;
    ASSERT_EQ(ascTable->create_ASC(&asc, &first), S_OK);
    PSE* pse = nullptr;
    ASSERT_EQ(asc->getPSE(&pse), S_OK);
    // The last user of the list goes: every module but the one in use is unloaded.
    list->release(list);
    list = nullptr;
    EXPECT_STREQ(pse->getType(), RAW_PSE_TYPE);
    pse->Release();
    asc->Release();
    ASSERT_EQ(getList(0, nullptr, &list, nullptr, "", 0), S_OK);
}

TEST_F(SecurityContext, SlotOfNoKnownKindIsNotFound)
{
    for (const char* name : {"", "nosuch:slot", "TOKKEYCHAIN:cert=00"}) {
        SCOPED_TRACE(name);
        SecSlot* slot = reinterpret_cast<SecSlot*>(&home);
        EXPECT_EQ(pseTable->getSlot(&slot, name), E_PSE_NOTFOUND);
        EXPECT_EQ(slot, nullptr);
    }
    SecSlot* slot = nullptr;
    EXPECT_EQ(pseTable->getSlot(&slot, nullptr), E_PSE_NOTFOUND);
}

TEST_F(SecurityContext, SecpseModuleOffersOnlyTheLibrarysSlots)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api("secpse", "SEC_PSE_1", &table), S_OK);
    const auto* secpse = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    const char* names[3] = {};
    ASSERT_EQ(secpse->get_info(&names[0], &names[1], &names[2]), S_OK);
    EXPECT_STREQ(names[0], "SEC_PSE_1");
    EXPECT_STREQ(names[1], "secpse");
    EXPECT_STREQ(names[2], "secpse");
    PSE* pse = nullptr;
    EXPECT_EQ(secpse->create_PSE(&pse, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(secpse->initialize_PSE(nullptr, "secret"), E_NOTIMPL);
    SecSlot* slot = nullptr;
    EXPECT_EQ(secpse->getSlot(&slot, "nosuch:slot"), E_PSE_NOTFOUND);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(list->get_api("secpse", "SEC_ASC_1", &table), ZELK_E_API_NOTFOUND);
}

TEST_F(SecurityContext, PseFolderIsMadePrivateAndATooSmallBufferGetsNothing)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api(nullptr, SEC_CONFIG_API, &table), S_OK);
    const auto* config = ZELK_ApiCast<SEC_CONFIG_TABLE>(table);
    const std::string folder = home.Folder();
    char buffer[512];
    std::memset(buffer, '#', sizeof buffer);
    const char* out = nullptr;
    EXPECT_EQ(config->get_PSE_dir(buffer, folder.size(), &out), E_BUFFERTOOSMALL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(buffer[0], '#');
    ASSERT_EQ(config->get_PSE_dir(buffer, folder.size() + 1, &out), S_OK);
    EXPECT_EQ(out, buffer);
    EXPECT_EQ(std::string(buffer), folder);
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    setenv("XDG_DATA_HOME", "relative/path", 1);
    setenv("HOME", home.root.c_str(), 1);
    ASSERT_EQ(config->get_PSE_dir(buffer, sizeof buffer, &out), S_OK);
    EXPECT_EQ(std::string(buffer), home.root + "/.local/share/kestrin");
}

TEST_F(SecurityContext, CatPathJoinsWithOneSlash)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api(nullptr, SEC_IO_API, &table), S_OK);
    const auto* io = ZELK_ApiCast<SEC_IO_TABLE>(table);
    struct Case {
        const char* dir;
        const char* file;
        const char* joined;
    };
    for (const Case& c : {Case {"/a/b", "pse.zip", "/a/b/pse.zip"}, Case {"/a/b/", "pse.zip", "/a/b/pse.zip"},
                          Case {"/a/b//", "/pse.zip", "/a/b/pse.zip"}, Case {"/", "pse.zip", "/pse.zip"},
                          Case {"rel", "x/y", "rel/x/y"}}) {
        char* out = nullptr;
        ASSERT_EQ(io->cat_path(c.dir, c.file, &out), S_OK);
        EXPECT_STREQ(out, c.joined);
        list->free(out);
    }
    char* out = nullptr;
    EXPECT_EQ(io->cat_path("", "x", &out), E_INVALIDARG);
    EXPECT_EQ(io->cat_path("/a", nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(io->cat_path(std::string(5000, 'a').c_str(), "x", &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(io->cat_path("/a", "x", nullptr), E_POINTER);
}

}  // namespace
