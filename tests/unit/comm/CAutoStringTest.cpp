#include "CAutoString.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

TEST(CAutoStringNull, NullAndEmptyAreDifferentStates) {
    CAutoString null;
    CAutoString other;
    CAutoString empty("");
    EXPECT_TRUE(null == other);
    EXPECT_FALSE(null == empty);
    EXPECT_TRUE(null != "");
    EXPECT_EQ(static_cast<const char*>(null), nullptr);
    EXPECT_EQ(null.GetLength(), 0u);
}

TEST(CAutoStringNull, NullTextNeverReplacesAValue) {
    CAutoString s("keep");
    s = static_cast<const char*>(nullptr);
    EXPECT_STREQ(s, "keep");
    s = CAutoString();
    EXPECT_STREQ(s, "keep");
    s.AttachPoint(nullptr);
    EXPECT_STREQ(s, "keep");
    EXPECT_TRUE(CAutoString(static_cast<const char*>(nullptr)).IsNull());

    // Copies are deep: changing the copy leaves the original alone.
    CAutoString copy(s);
    copy.MakeLower();
    copy.Replace("k", "K");
    EXPECT_STREQ(s, "keep");
    EXPECT_STREQ(copy, "Keep");
}

TEST(CAutoStringNull, AttachTakesOwnershipAndDetachFrees) {
    CAutoString s("old");
    char* heap = static_cast<char*>(std::malloc(6));
    std::memcpy(heap, "fresh", 6);
    s.AttachPoint(heap);
    EXPECT_EQ(s.GetBuffer(), heap);
    EXPECT_EQ(s.GetLength(), 5u);
    s.Detach();
    EXPECT_TRUE(s.IsNull());
    EXPECT_EQ(s.GetLength(), 0u);
}

TEST(CAutoStringFormat, EmptyResultLeavesTextUnchanged) {
    CAutoString s("x");
    EXPECT_EQ(s.Format("%s", ""), -1);
    EXPECT_STREQ(s, "x");
    CAutoString fresh;
    fresh.Format("%s", "");
    EXPECT_TRUE(fresh.IsNull());
}

TEST(CAutoStringFormat, HasNoLengthLimitAndMayUseItsOwnText) {
    const std::string big(100000, 'z');
    CAutoString s;
    EXPECT_EQ(s.Format("<%s>", big.c_str()), 100002);
    EXPECT_EQ(s.GetLength(), 100002u);
    EXPECT_EQ(s.ToStdString(), "<" + big + ">");

    CAutoString self("ab");
    self.Format("%s-%s-%d", self.GetBuffer(), self.GetBuffer(), 7);
    EXPECT_STREQ(self, "ab-ab-7");
}

TEST(CAutoStringEdit, TrimRemovesBlanksCrLfAnywhereButKeepsTabs) {
    CAutoString s(" a b\r\n");
    s.Trim();
    EXPECT_STREQ(s, "ab");
    CAutoString tab("\t");
    tab.Trim();
    EXPECT_STREQ(tab, "\t");
    CAutoString only(" \r\n ");
    only.Trim();
    EXPECT_FALSE(only.IsNull());
    EXPECT_STREQ(only, "");
    EXPECT_EQ(only.GetLength(), 0u);
}

TEST(CAutoStringEdit, ReplaceIsLeftToRightAndNonOverlapping) {
    CAutoString s("aaaa");
    s.Replace("aa", "b");
    EXPECT_STREQ(s, "bb");
    CAutoString grow("a.b.c");
    grow.Replace(".", "..");  // the inserted text is not scanned again
    EXPECT_STREQ(grow, "a..b..c");
    EXPECT_EQ(grow.GetLength(), 7u);
    CAutoString shrink("<x><x>");
    shrink.Replace("<x>", "");
    EXPECT_STREQ(shrink, "");
    CAutoString null;
    null.Replace("a", "b");
    EXPECT_TRUE(null.IsNull());
}

TEST(CAutoStringEdit, MakeLowerOnlyTouchesAsciiCapitals) {
    CAutoString s("AbZ@[\xC3\x89");
    s.MakeLower();
    EXPECT_STREQ(s, "abz@[\xC3\x89");
}

TEST(CAutoStringSlice, MidLeftRight) {
    const CAutoString s("abcdef");
    EXPECT_STREQ(s.Right(3), "def");
    EXPECT_TRUE(s.Left(0).IsNull());
    EXPECT_TRUE(s.Right(0).IsNull());
    EXPECT_STREQ(s.Left(2), "ab");
    EXPECT_STREQ(s.Mid(2, 3), "cde");
    EXPECT_STREQ(s.Mid(2), "cdef");  // count 0: up to the end
    EXPECT_STREQ(s.Mid(4, 100), "ef");
    EXPECT_STREQ(s.Right(100), "abcdef");
    EXPECT_TRUE(s.Mid(6).IsNull());
    EXPECT_TRUE(CAutoString("").Mid(0).IsNull());
    EXPECT_TRUE(CAutoString().Left(3).IsNull());
}

TEST(CAutoStringSlice, IndexingStopsAtTheEnd) {
    const CAutoString s("ab");
    EXPECT_EQ(s[1], 'b');
    EXPECT_EQ(s.GetAt(2), 0);
    EXPECT_EQ(s[-1], 0);
    EXPECT_EQ(CAutoString()[0], 0);
}

TEST(CAutoStringSearch, FindCharAndText) {
    const CAutoString s("a=b;c=d");
    EXPECT_EQ(s.Find('='), 1);
    EXPECT_EQ(s.Find('=', 2), 5);
    EXPECT_EQ(s.Find('x'), -1);
    EXPECT_EQ(s.Find("c=d"), 4);
    EXPECT_EQ(s.Find("=", 6), -1);
    EXPECT_EQ(s.Find('a', 100), -1);
    EXPECT_EQ(CAutoString().Find('a'), -1);
    EXPECT_EQ(CAutoString("").Find(""), -1);
}

TEST(CAutoStringCompare, ConcatenationAndEquality) {
    const CAutoString a("ab");
    EXPECT_STREQ(a + "cd", "abcd");
    EXPECT_STREQ(a + CAutoString("c"), "abc");
    EXPECT_STREQ(a, "ab");  // operands untouched
    EXPECT_TRUE(CAutoString() + CAutoString() == CAutoString());
    EXPECT_TRUE(a == CAutoString("ab"));
    EXPECT_TRUE(a != "abc");
    EXPECT_TRUE(a != nullptr);
}

TEST(CAutoStringCompare, MapKeysAreInByteOrderWithPrefixesFirst) {
    std::map<CAutoString, int> map;
    const std::vector<const char*> keys = {"b", "ab", "a", "abc", "B", "\xE4\xB8\xAD", "aa"};
    for (size_t i = 0; i < keys.size(); ++i)
        map[CAutoString(keys[i])] = static_cast<int>(i);
    map[CAutoString("ab")] = 100;  // the same text is the same key

    std::vector<std::string> order;
    for (const auto& kv : map)
        order.push_back(kv.first.ToStdString());
    const std::vector<std::string> want = {"B", "a", "aa", "ab", "abc", "b", "\xE4\xB8\xAD"};
    EXPECT_EQ(order, want);
    EXPECT_EQ(map[CAutoString("ab")], 100);
    EXPECT_FALSE(CAutoString("x") < CAutoString("x"));
}
