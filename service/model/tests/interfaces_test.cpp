// The model interfaces keep their slots where the application, the web
// adapter and the broker call them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "zelk_gui_model.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

// The vtable entry a pointer to a virtual member designates (Itanium C++
// ABI: one plus the entry's byte offset).
template <class M>
size_t VtableEntry(M method)
{
    static_assert(sizeof(M) == 2 * sizeof(void*));
    uintptr_t raw = 0;
    std::memcpy(&raw, &method, sizeof raw);
    EXPECT_EQ(raw & 1u, 1u) << "not a virtual member";
    return (raw - 1) / sizeof(void*);
}

// IUnknown's virtual destructor takes the two entries after Release.
constexpr size_t EntryOfSlot(size_t slot)
{
    return slot < 3 ? slot : slot + 2;
}

TEST(ModelInterfacesTest, SlotsStayWhereCallersCallThem)
{
    const struct {
        const char* name;
        size_t entry;
        size_t slot;
    } cases[] = {
        {"IGUIModel::GetRevision", VtableEntry(&IGUIModel::GetRevision), 3},
        {"IGUIModel::UnRegisterCallback", VtableEntry(&IGUIModel::UnRegisterCallback), 5},
        {"IGUIModelItem::GetItemInfo", VtableEntry(&IGUIModelItem::GetItemInfo), 6},
        {"IGUIModelItem::ItemCompare", VtableEntry(&IGUIModelItem::ItemCompare), 8},
        {"IGUIModelContainer::GetElementCount", VtableEntry(&IGUIModelContainer::GetElementCount), 6},
        {"IGUIModelContainer::Contains", VtableEntry(&IGUIModelContainer::Contains), 8},
        {"IGUIVerbs::GetVerbCount", VtableEntry(&IGUIVerbs::GetVerbCount), 3},
        {"IGUIVerbs::AddVerbs", VtableEntry(&IGUIVerbs::AddVerbs), 6},
        {"IGUIVerb::GetState", VtableEntry(&IGUIVerb::GetState), 7},
        {"IGUIModelSelectedApps::GetSelectedApp", VtableEntry(&IGUIModelSelectedApps::GetSelectedApp), 3},
        {"IGUIModelCert::Compare", VtableEntry(&IGUIModelCert::Compare), 9},
        {"IGUIModelCert::GetFingerprint", VtableEntry(&IGUIModelCert::GetFingerprint), 11},
        {"IGUIModelOwnCert::GetPCI", VtableEntry(&IGUIModelOwnCert::GetPCI), 12},
        {"IGUIModelOwnCert::GetURI", VtableEntry(&IGUIModelOwnCert::GetURI), 14},
        {"IGUIModelToken::GetTokenName", VtableEntry(&IGUIModelToken::GetTokenName), 9},
        {"IGUIModelToken::GetTokenType", VtableEntry(&IGUIModelToken::GetTokenType), 16},
        {"IGUIModelToken::GetKVSProfileGroup", VtableEntry(&IGUIModelToken::GetKVSProfileGroup), 19},
        {"IGUIModelCfgPolicy::Apply", VtableEntry(&IGUIModelCfgPolicy::Apply), 6},
        {"IGUIModelCfgPolicy::IsChangeable", VtableEntry(&IGUIModelCfgPolicy::IsChangeable), 10},
        {"IGUIModelCfgPolicy::SetDWORD", VtableEntry(&IGUIModelCfgPolicy::SetDWORD), 15},
        {"IGUIModelCfgPolicy::SetBool", VtableEntry(&IGUIModelCfgPolicy::SetBool), 16},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.entry, EntryOfSlot(c.slot)) << c.name;
    // The refresh callback has no IUnknown: its one slot is the first entry.
    EXPECT_EQ(VtableEntry(&IGUIRefreshCB::RefreshCB), 0u);
}

}  // namespace
}  // namespace kestrin::model::test
