// The profile table over the service's own group
// "zelk.model.owncerts.and.kerberos.ex": token rows of scripted tokens appear
// in the order of their profiles and follow a token's insertion and removal,
// made on a thread of the service as the token manager makes them.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app_test.h"
#include "glue.h"
#include "model/model_tokens.h"
#include "model_fixture.h"
#include "queues.h"
#include "tableview.h"

namespace kestrin::app::test {
namespace {

using kestrin::model::test::TestTokens;
using ZELK::PSESVC::CModelToken;
using ZELK::PSESVC::CModelTokens;
using ZELK::PSESVC::IGUIModelToken;

constexpr const char* kPrefix = "toksw:mem://kestrin/";

class GroupTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        ASSERT_EQ(CSingletonFactoryImpl<CModelTokens>::New(&m_tokens), S_OK);
        m_table = std::make_unique<TableView>();
        m_tester = std::make_unique<QAbstractItemModelTester>(m_table->tableModel(),
                                                              QAbstractItemModelTester::FailureReportingMode::Warning);
    }
    void TearDown() override
    {
        m_tester.reset();
        m_table.reset();
        for (const std::string& name : m_names)
            m_tokens->DelToken((kPrefix + name).c_str());
        static_cast<ZELK::PSESVC::IGUIModelTokens*>(m_tokens)->Release();
        TestTokens::Clear();
    }

    // A profile's scripted token and its row in the token list, as the token
    // manager adds them.
    void AddProfile(const std::string& name)
    {
        const std::string uri = kPrefix + name;
        auto* token = TestTokens::Add(uri);
        token->AddVerb("verb.logout");
        CModelToken* row = nullptr;
        ASSERT_EQ(CModelTokens::NewTokenInfo(uri.c_str(), &row), S_OK);
        row->SetTokenType(ZELK::PSESVC::TOKEN_TYPE_PROFILE);
        unsigned long count = 0;
        ZELK::PSESVC::IGUIVerb** verbs = nullptr;
        ASSERT_EQ(token->GetVerbs(&count, &verbs), S_OK);
        row->SetVerbs(count, verbs);
        EXPECT_EQ(CModelTokens::RegisterToken(row), S_OK);
        static_cast<IGUIModelToken*>(row)->Release();
        m_names.push_back(name);
    }

    // The profile of each token row, in the table's order; those rows show
    // their profiles and a checkbox. The group's other rows are left out.
    std::vector<std::string> Profiles()
    {
        std::vector<std::string> profiles;
        for (uint64_t i = 0; i < m_table->rows(); ++i) {
            IGUIModelToken* token = nullptr;
            if (FAILED(m_table->rowItem(i)->QueryInterface(IID_IGUIModelToken, reinterpret_cast<void**>(&token))))
                continue;
            profiles.emplace_back(token->GetProfileName());
            token->Release();
            const QModelIndex index = m_table->tableModel()->index(static_cast<int>(i), 0);
            const QString shown = index.data().toString();
            EXPECT_TRUE(shown.contains(QString::fromStdString(profiles.back()))) << shown.toStdString();
            // A token row names no application yet: its checkbox is off.
            EXPECT_EQ(index.data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
        }
        return profiles;
    }

    int RowOf(const std::string& profile)
    {
        for (uint64_t i = 0; i < m_table->rows(); ++i) {
            IGUIModelToken* token = nullptr;
            if (FAILED(m_table->rowItem(i)->QueryInterface(IID_IGUIModelToken, reinterpret_cast<void**>(&token))))
                continue;
            const bool found = profile == token->GetProfileName();
            token->Release();
            if (found)
                return static_cast<int>(i);
        }
        return -1;
    }

    CModelTokens* m_tokens = nullptr;
    std::vector<std::string> m_names;
    std::unique_ptr<TableView> m_table;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

TEST_F(GroupTable, RowsAreSortedAndFollowInsertionAndRemoval)
{
    AddProfile("Zulu");
    AddProfile("Alpha");
    AddProfile("Mike");
    m_table->setContainer("zelk.model.owncerts.and.kerberos.ex");
    using Names = std::vector<std::string>;
    EXPECT_EQ(Profiles(), (Names {"Alpha", "Mike", "Zulu"}));
    const uint64_t others = m_table->rows() - 3;
    // The scripted token's verb reaches the row's menu.
    std::unique_ptr<QMenu> menu(m_table->menuForRow(RowOf("Alpha")));
    ASSERT_NE(menu, nullptr);
    QStringList verbs;
    for (QAction* entry : menu->actions())
        verbs << entry->data().toString();
    EXPECT_TRUE(verbs.contains(QStringLiteral("verb.logout"))) << verbs.join(QLatin1Char(' ')).toStdString();

    // A token inserted on a service thread shows in its place.
    std::thread([this] { AddProfile("Golf"); }).join();
    EXPECT_TRUE(PumpUntil([&] { return m_table->rows() == others + 4; }));
    EXPECT_EQ(Profiles(), (Names {"Alpha", "Golf", "Mike", "Zulu"}));

    // A removed token leaves the table.
    std::thread([this] { m_tokens->DelToken((std::string(kPrefix) + "Mike").c_str()); }).join();
    EXPECT_TRUE(PumpUntil([&] { return m_table->rows() == others + 3; }));
    EXPECT_EQ(Profiles(), (Names {"Alpha", "Golf", "Zulu"}));
    EXPECT_EQ(static_cast<uint64_t>(m_table->tableModel()->rowCount()), m_table->rows());
}

}  // namespace
}  // namespace kestrin::app::test
