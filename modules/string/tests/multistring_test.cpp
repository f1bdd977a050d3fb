// Lists of texts in one buffer, in the char and the wide table.
#include "multistring.h"

#include "string_test_util.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

template <class C>
class MultiString : public ::testing::Test {};
TYPED_TEST_SUITE(MultiString, CharTypes);

// A list's entries as a vector (through the walk of Get and GetCount).
template <class C>
std::vector<std::basic_string<C>> Entries(const C* list)
{
    std::vector<std::basic_string<C>> entries;
    for (size_t i = 0; i < MultiGetCount(list); ++i)
        entries.emplace_back(MultiGet(list, i));
    return entries;
}

template <class C>
std::vector<std::basic_string<C>> List(std::initializer_list<const char*> texts)
{
    std::vector<std::basic_string<C>> entries;
    for (const char* t : texts)
        entries.push_back(Txt<C>(t));
    return entries;
}

TYPED_TEST(MultiString, MakeSplitsAtRunsOfSeparators)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> list;
    ASSERT_EQ(S_OK, MakeMultiString<C>(t("  a  b "), &list, nullptr));
    EXPECT_EQ(List<C>({"a", "b"}), Entries<C>(list.get()));
    EXPECT_EQ(5u, MultiGetLength<C>(list.get()));

    ASSERT_EQ(S_OK, MakeMultiString<C>(t("one\ttwo\r\nthree"), &list, nullptr));
    EXPECT_EQ(List<C>({"one", "two", "three"}), Entries<C>(list.get()));

    ASSERT_EQ(S_OK, MakeMultiString<C>(t("a;b,,c d"), &list, t(";,")));
    EXPECT_EQ(List<C>({"a", "b", "c d"}), Entries<C>(list.get()));

    ASSERT_EQ(S_OK, MakeMultiString<C>(t(" \t\n"), &list, nullptr));
    EXPECT_EQ(0u, MultiGetCount<C>(list.get()));
    ASSERT_EQ(S_OK, MakeMultiString<C>(t(""), &list, nullptr));
    EXPECT_EQ(0u, MultiGetCount<C>(list.get()));

    EXPECT_EQ(E_FAIL, MakeMultiString<C>(nullptr, &list, nullptr));
    EXPECT_EQ(nullptr, list.get());
    EXPECT_EQ(E_INVALIDARG, MakeMultiString<C>(t("a"), nullptr, nullptr));
}

TYPED_TEST(MultiString, WalkCountFindAndGet)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> list;
    ASSERT_EQ(S_OK, MakeMultiString<C>(t("ab c Ab c"), &list, nullptr));
    const C* l = list.get();
    EXPECT_EQ(4u, MultiGetCount(l));
    EXPECT_EQ(11u, MultiGetLength(l));
    EXPECT_EQ(1, MultiFind(l, t("c")));  // the first of repeated entries
    EXPECT_EQ(-1, MultiFind(l, t("AB")));
    EXPECT_EQ(0, MultiFindNoCase(l, t("AB")));
    EXPECT_EQ(-1, MultiFind(l, t("")));
    EXPECT_EQ(-1, MultiFind<C>(l, nullptr));
    EXPECT_EQ(-1, MultiFind<C>(nullptr, t("c")));
    EXPECT_EQ(-1, MultiFindNoCase<C>(nullptr, t("c")));

    EXPECT_EQ(l + 3, MultiGet(l, 1));
    EXPECT_EQ(nullptr, MultiGet(l, MultiGetCount(l)));
    EXPECT_EQ(nullptr, MultiGet<C>(nullptr, 0));

    EXPECT_EQ(0u, MultiGetCountEx(l, l));
    EXPECT_EQ(1u, MultiGetCountEx(l, l + 3));
    EXPECT_EQ(2u, MultiGetCountEx(l, l + 4));
    EXPECT_EQ(4u, MultiGetCountEx(l, l + 100));
    EXPECT_EQ(0u, MultiGetCountEx<C>(nullptr, l));

    EXPECT_EQ(0u, MultiGetCount<C>(nullptr));
    EXPECT_EQ(0u, MultiGetLength<C>(nullptr));
}

TYPED_TEST(MultiString, CopyAndCreate)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> list;
    ASSERT_EQ(S_OK, MultiCreate<C>(t("only"), &list));
    EXPECT_EQ(List<C>({"only"}), Entries<C>(list.get()));
    EXPECT_EQ(6u, MultiGetLength<C>(list.get()));

    Out<C> copy;
    ASSERT_EQ(S_OK, MultiCopy<C>(list.get(), &copy));
    EXPECT_NE(list.get(), copy.get());
    EXPECT_EQ(Entries<C>(list.get()), Entries<C>(copy.get()));

    // A copy of NULL is a list of two NULs.
    ASSERT_EQ(S_OK, MultiCopy<C>(nullptr, &copy));
    ASSERT_NE(nullptr, copy.get());
    EXPECT_EQ(C(0), copy.get()[0]);
    EXPECT_EQ(C(0), copy.get()[1]);

    C* held = list.get();
    ASSERT_EQ(S_OK, MultiCopy<C>(held, &held));
    EXPECT_EQ(list.get(), held);

    for (const char* none : {static_cast<const char*>(nullptr), ""}) {
        ASSERT_EQ(S_OK, MultiCreate<C>(t(none), &list));
        EXPECT_EQ(0u, MultiGetCount<C>(list.get()));
        EXPECT_EQ(C(0), list.get()[1]);
    }
    EXPECT_EQ(ZELK_RC(0xFFFFFFFF), MultiCopy<C>(t("a\0"), nullptr));
    EXPECT_EQ(ZELK_RC(0xFFFFFFFF), MultiCreate<C>(t("a"), nullptr));
}

TYPED_TEST(MultiString, AddAndInsert)
{
    using C = TypeParam;
    Texts<C> t;
    C* list = nullptr;
    ASSERT_EQ(S_OK, MultiAdd<C>(list, t("a"), &list));
    ASSERT_EQ(S_OK, MultiAdd<C>(list, t("b"), &list));
    EXPECT_EQ(List<C>({"a", "b"}), Entries<C>(list));

    EXPECT_EQ(E_FAIL, MultiAdd<C>(list, t(""), &list));
    EXPECT_EQ(List<C>({"a", "b"}), Entries<C>(list));
    EXPECT_EQ(E_INVALIDARG, MultiAdd<C>(list, nullptr, &list));
    EXPECT_EQ(E_INVALIDARG, MultiAdd<C>(list, t("c"), nullptr));

    // Adding an entry of the list itself: the old buffer is read before it is freed.
    ASSERT_EQ(S_OK, MultiAdd<C>(list, MultiGet<C>(list, 0), &list));
    EXPECT_EQ(List<C>({"a", "b", "a"}), Entries<C>(list));

    // Into a new output, the input list stays.
    Out<C> other;
    ASSERT_EQ(S_OK, MultiAdd<C>(list, t("z"), &other));
    EXPECT_EQ(List<C>({"a", "b", "a", "z"}), Entries<C>(other.get()));
    EXPECT_EQ(3u, MultiGetCount<C>(list));

    ASSERT_EQ(S_OK, MultiInsert<C>(list, t("x"), &list));
    EXPECT_EQ(List<C>({"x", "a", "b", "a"}), Entries<C>(list));
    ASSERT_EQ(S_OK, MultiInsert<C>(list, MultiGet<C>(list, 2), &list));
    EXPECT_EQ(List<C>({"b", "x", "a", "b", "a"}), Entries<C>(list));

    EXPECT_EQ(S_FALSE, MultiInsert<C>(list, t(""), &list));
    EXPECT_EQ(5u, MultiGetCount<C>(list));
    EXPECT_EQ(S_FALSE, MultiInsert<C>(list, nullptr, &other));
    EXPECT_EQ(Entries<C>(list), Entries<C>(other.get()));
    EXPECT_EQ(E_INVALIDARG, MultiInsert<C>(list, t("y"), nullptr));
    sec_free(list);

    // An empty list (two NULs) held by the output is freed when added to.
    C* empty = nullptr;
    ASSERT_EQ(S_OK, MultiCreate<C>(nullptr, &empty));
    ASSERT_EQ(S_OK, MultiAdd<C>(empty, t("one"), &empty));
    EXPECT_EQ(List<C>({"one"}), Entries<C>(empty));
    ASSERT_EQ(S_OK, MultiInsert<C>(nullptr, t("n"), &other));
    EXPECT_EQ(List<C>({"n"}), Entries<C>(other.get()));
    sec_free(empty);
}

}  // namespace
