#include "CXMLOpt.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

const char kMessage[] =
    "<M><OpS>a</OpS><OpT>b</OpT><OpC>c</OpC><P><user>u1</user><n>12abc</n><neg>-3</neg>"
    "<big>99999999999</big><user>u2</user></P></M>";

}  // namespace

TEST(CXMLOptSplit, CutsAtTheFirstDotOnly) {
    CAutoString head, rest;
    EXPECT_TRUE(CXMLOpt::StringSplit("P.user.x", head, rest));
    EXPECT_EQ(head, "P");
    EXPECT_EQ(rest, "user.x");
    EXPECT_FALSE(CXMLOpt::StringSplit("OpT", head, rest));
    EXPECT_EQ(head, "OpT");
    EXPECT_EQ(rest, "");
    EXPECT_FALSE(rest.IsNull());
    EXPECT_TRUE(CXMLOpt::StringSplit(".x", head, rest));
    EXPECT_EQ(head, "");
    EXPECT_EQ(rest, "x");
}

TEST(CXMLOptRead, PathsStartBelowTheRootWhateverItsName) {
    CXMLOpt m(kMessage);
    EXPECT_EQ(m.GetValue("OpT"), "b");
    EXPECT_EQ(m.GetValue("P.user"), "u1");  // the first match at each level
    std::string renamed(kMessage);
    renamed.replace(1, 1, "Root").replace(renamed.size() - 2, 1, "Root");
    CXMLOpt other(renamed.c_str());
    ASSERT_TRUE(other.IsWellFormed());
    EXPECT_EQ(other.GetValue("OpT"), "b");
    EXPECT_EQ(other.GetValue("M"), "");  // the root itself is not part of a path
}

TEST(CXMLOptRead, MissingPathsGiveEmptyAndZero) {
    CXMLOpt m("<M><OpT>b</OpT><P/></M>");
    for (const char* path : {"P.user", "Q", "OpT.x", "", "P.", "OpT..x"}) {
        EXPECT_EQ(m.GetValue(path), "") << path;
        EXPECT_EQ(m.GetIntValue(path), 0) << path;
        EXPECT_EQ(m.GetDoc(path), "") << path;
    }
    EXPECT_EQ(m.GetValue(nullptr), "");
    EXPECT_FALSE(m.SetXMLPos("P."));  // an empty name must not match any element
}

TEST(CXMLOptRead, IntegersFollowAtoi) {
    CXMLOpt m(kMessage);
    EXPECT_EQ(m.GetIntValue("P.n"), 12);
    EXPECT_EQ(m.GetIntValue("P.neg"), -3);
    EXPECT_EQ(m.GetIntValue("OpT"), 0);
    EXPECT_EQ(m.GetIntValue("P.big"), 2147483647);  // clamped instead of undefined
}

TEST(CXMLOptRead, GetDocGivesTheElementOrTheWholeText) {
    CXMLOpt m(kMessage);
    EXPECT_EQ(m.GetDoc("OpS"), "<OpS>a</OpS>");
    const std::string p = m.GetDoc("P").ToStdString();
    EXPECT_EQ(p.rfind("<P><user>u1</user>", 0), 0u);
    EXPECT_EQ(p.substr(p.size() - 4), "</P>");
    EXPECT_EQ(m.GetDoc(nullptr), kMessage);
}

TEST(CXMLOptWrite, NewKeysBecomeTheFirstChild) {
    CXMLOpt m("<conf/>");
    ASSERT_TRUE(m.SetValue("PID", "77\n"));
    EXPECT_EQ(m.GetDoc(), "<conf>\r\n<PID>77\n</PID>\r\n</conf>");
    ASSERT_TRUE(m.SetValue("account", 5));
    EXPECT_EQ(m.GetDoc(), "<conf>\r\n<account>5</account>\r\n<PID>77\n</PID>\r\n</conf>");
    ASSERT_TRUE(m.SetValue("PID", 78));  // an existing key is replaced in place
    EXPECT_EQ(m.GetValue("PID"), "78");
    ASSERT_TRUE(m.SetValue("a.b.c", "deep"));
    EXPECT_EQ(m.GetValue("a.b.c"), "deep");
    EXPECT_TRUE(m.IsWellFormed());
}

TEST(CXMLOptWrite, ValuesAreEscapedAndReadBackUnchanged) {
    CXMLOpt m("<conf/>");
    ASSERT_TRUE(m.SetValue("pw", "a<b&c"));
    EXPECT_NE(m.GetDoc().ToStdString().find("a&lt;b&amp;c"), std::string::npos);
    EXPECT_EQ(m.GetValue("pw"), "a<b&c");
}

TEST(CXMLOptWrite, DocumentsWithoutRootTakeNoValue) {
    CXMLOpt empty;
    EXPECT_FALSE(empty.SetValue("PID", "1"));
    EXPECT_EQ(empty.GetDoc(), "");
    CXMLOpt broken("<conf>");
    EXPECT_FALSE(broken.SetValue("PID", "1"));
    EXPECT_EQ(broken.GetDoc(), "<conf>");
    CXMLOpt m("<conf/>");
    EXPECT_FALSE(m.SetValue("a..b", "1"));
    EXPECT_FALSE(m.SetValue("bad name", "1"));
}

TEST(CXMLOptFile, SaveFileWritesBackWhereLoadFileRead) {
    TempDir dir;
    const std::string path = dir.file("conf.xml");
    CXMLOpt m;
    EXPECT_FALSE(m.SaveFile());  // nothing loaded yet
    EXPECT_FALSE(m.LoadFile(dir.file("missing.xml").c_str()));
    EXPECT_EQ(m.GetFileName(), nullptr);
    ASSERT_TRUE(writeFile(path, "<?xml version=\"1.0\"?>\n<conf>\n</conf>\n"));
    ASSERT_TRUE(m.LoadFile(path.c_str()));
    EXPECT_STREQ(m.GetFileName(), path.c_str());
    ASSERT_TRUE(m.SetValue("PID", 42));
    EXPECT_EQ(readFile(path), "<?xml version=\"1.0\"?>\n<conf>\n</conf>\n");  // memory only
    ASSERT_TRUE(m.SaveFile());
    EXPECT_EQ(readFile(path), "<?xml version=\"1.0\"?>\n<conf>\n<PID>42</PID>\r\n</conf>\n");

    // A failed load keeps the file name of the last good one.
    EXPECT_FALSE(m.LoadFile(dir.file("missing.xml").c_str()));
    EXPECT_STREQ(m.GetFileName(), path.c_str());
}
