// The download list and the text helpers of the automatic update: what a hostile update answer
// can and cannot do to the list and to the file names.
#include "CAutoUpdate.h"
#include "CDownloadList.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using orvane_test::readFile;
using orvane_test::TempDir;

constexpr int64_t kMax = 1 << 20;

class DownloadListTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("update.xml");
    CDownloadList list{path.c_str()};
};

TEST_F(DownloadListTest, RecordingFollowsTheServersLatestUrlPerName) {
    EXPECT_EQ(CDownloadList::LIST_UNREADABLE, list.Check());
    ASSERT_TRUE(list.Record("app", "http://h/a?x=1&y=2", "m1", 10));
    ASSERT_TRUE(list.Record("lib", "http://h/l", "m2", 20));
    EXPECT_EQ(CDownloadList::LIST_INCOMPLETE, list.Check());

    int fetched = 0;
    list.DownloadPending(
        [&](const CAutoString& name, const CAutoString& url, int64_t size, CAutoString& local) {
            ++fetched;
            if (name == "app") {
                EXPECT_STREQ("http://h/a?x=1&y=2", url.c_str());  // escaped in the file
                EXPECT_EQ(10, size);
                local = "/d/app.tar.gz";
                return CDownloadList::FETCH_DONE;
            }
            return CDownloadList::FETCH_FAILED;  // lib fails and must stay pending
        },
        kMax);
    EXPECT_EQ(2, fetched);
    EXPECT_EQ(CDownloadList::LIST_INCOMPLETE, list.Check());
    const std::string text = readFile(path);
    EXPECT_NE(std::string::npos, text.find("state=\"2\">/d/app.tar.gz<")) << text;
    EXPECT_NE(std::string::npos, text.find("name=\"lib\" md5=\"m2\" size=\"20\" state=\"1\""))
        << text;

    // The same URL keeps the finished item; a new URL resets it with the new values.
    ASSERT_TRUE(list.Record("app", "/d/app.tar.gz", "m1", 10));
    EXPECT_NE(std::string::npos, readFile(path).find("state=\"2\""));
    ASSERT_TRUE(list.Record("app", "http://h/a2", "m9", 11));
    EXPECT_NE(std::string::npos,
              readFile(path).find("name=\"app\" md5=\"m9\" size=\"11\" state=\"0\">http://h/a2<"))
        << readFile(path);

    list.DownloadPending(
        [](const CAutoString& name, const CAutoString&, int64_t, CAutoString& local) {
            local = CAutoString("/d/") + name;
            return CDownloadList::FETCH_DONE;
        },
        kMax);
    EXPECT_EQ(CDownloadList::LIST_COMPLETE, list.Check());
}

struct ListedSize {
    const char* size;  // as the list holds it
    bool fetched;
};

class ListedSizeTest : public DownloadListTest, public ::testing::WithParamInterface<ListedSize> {};

// A size the installer would refuse is never downloaded, and while it stands nothing else is
// either: the update could not be installed whole.
TEST_P(ListedSizeTest, OnlyAPositiveSizeUpToTheLimitIsFetched) {
    orvane_test::writeFile(path, std::string("<update><item name=\"app\" md5=\"m\" size=\"") +
                                     GetParam().size +
                                     "\" state=\"0\">http://h/a</item><item name=\"lib\" "
                                     "md5=\"m\" size=\"5\" state=\"0\">http://h/l</item></update>");
    std::vector<std::string> fetched;
    const auto fetch = [&](const CAutoString& name, const CAutoString&, int64_t size,
                           CAutoString& local) {
        fetched.push_back(name.ToStdString() + "=" + std::to_string(size));
        local = CAutoString("/d/") + name;
        return CDownloadList::FETCH_DONE;
    };
    list.DownloadPending(fetch, kMax);
    if (GetParam().fetched) {
        EXPECT_EQ((std::vector<std::string>{std::string("app=") + GetParam().size, "lib=5"}),
                  fetched);
        EXPECT_EQ(CDownloadList::LIST_COMPLETE, list.Check());
        return;
    }
    EXPECT_TRUE(fetched.empty());
    EXPECT_EQ(CDownloadList::LIST_REFUSED, list.Check());
    // Refused for good: a later pass fetches nothing either.
    list.DownloadPending(fetch, kMax);
    EXPECT_TRUE(fetched.empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListedSizeTest,
                         ::testing::Values(ListedSize{"1", true}, ListedSize{"1048576", true},
                                           ListedSize{"1048577", false}, ListedSize{"0", false},
                                           ListedSize{"-1", false}, ListedSize{"", false},
                                           ListedSize{"12abc", false}, ListedSize{"1e3", false},
                                           ListedSize{"99999999999999999999", false}),
                         [](const auto& info) {
                             std::string name = std::string("size_") + info.param.size;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// A server that sends more than it listed: the item is refused, nothing after it is fetched, and
// a list recorded afresh from the same answer keeps the refusal (another answer does not).
TEST_F(DownloadListTest, RefusedDownloadStaysRefusedForTheSameListing) {
    ASSERT_TRUE(list.Record("app", "http://h/a", "m1", 10));
    ASSERT_TRUE(list.Record("lib", "http://h/l", "m2", 20));
    int calls = 0;
    list.DownloadPending(
        [&](const CAutoString&, const CAutoString&, int64_t, CAutoString&) {
            ++calls;
            return CDownloadList::FETCH_REFUSED;
        },
        kMax);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(CDownloadList::LIST_REFUSED, list.Check());
    const std::vector<std::string> refused = list.Refused();
    ASSERT_EQ(1u, refused.size());

    for (const char* md5 : {"m1", "m9"}) {
        orvane_test::writeFile(path, "");
        ASSERT_TRUE(list.Record("app", "http://h/a", md5, 10));
        ASSERT_TRUE(list.KeepRefused(refused));
        EXPECT_EQ(
            md5 == std::string("m1") ? CDownloadList::LIST_REFUSED : CDownloadList::LIST_INCOMPLETE,
            list.Check())
            << md5;
    }
}

TEST_F(DownloadListTest, MarkupInServerValuesStaysText) {
    ASSERT_TRUE(list.Record("a\"b<c>", "http://h/<item state=\"2\">", "\"", 1));
    EXPECT_EQ(CDownloadList::LIST_INCOMPLETE, list.Check());
    orvane_test::writeFile(path, "<update></update>");
    EXPECT_EQ(CDownloadList::LIST_EMPTY, list.Check());
    orvane_test::writeFile(path, "<other><item state=\"2\"/></other>");
    EXPECT_EQ(CDownloadList::LIST_UNREADABLE, list.Check());
}

TEST(AutoUpdateNames, OnlyPlainShortNamesBecomeFiles) {
    for (const char* good : {"app", "client-2.1", "a.b", "名字", "x y"})
        EXPECT_TRUE(CDownloadList::IsSafeName(good)) << good;
    const std::string longest(64, 'n'), tooLong(65, 'n');
    EXPECT_TRUE(CDownloadList::IsSafeName(longest.c_str()));
    for (const std::string& bad :
         {std::string(), tooLong, std::string(".."), std::string("a/b"), std::string("../x"),
          std::string("x.."), std::string("a\nb"), std::string("a\x7f")})
        EXPECT_FALSE(CDownloadList::IsSafeName(bad.c_str())) << bad;
    EXPECT_FALSE(CDownloadList::IsSafeName(nullptr));
}

TEST(AutoUpdateText, UpdateAddressAndQueryValues) {
    EXPECT_STREQ("http://u/x", CAutoUpdate::UpdateUrlFrom("<Update url=\"http://u/x\" a=\"b\"/>"));
    EXPECT_STREQ("http://u/x", CAutoUpdate::UpdateUrlFrom("http://u/x"));
    EXPECT_STREQ("", CAutoUpdate::UpdateUrlFrom("\"\""));
    EXPECT_STREQ("", CAutoUpdate::UpdateUrlFrom(nullptr));
    EXPECT_STREQ("aZ09-._~", CAutoUpdate::PercentEncode("aZ09-._~"));
    EXPECT_STREQ("a%20b%26c%3Dd%2F%E5%90%8D", CAutoUpdate::PercentEncode("a b&c=d/名"));
}

}  // namespace

// A list as another program may have left it: a byte-order mark (which overrides the declared
// encoding) or a GBK declaration. Marking a package fetched must write it back in the same form,
// or the next read refuses it (unknown label without the mark) or garbles its names.
TEST_F(DownloadListTest, FetchedMarksKeepTheListsOwnEncoding) {
    const std::string item =
        "<item name=\"core\" md5=\"0a\" size=\"1\" state=\"0\">http://u/c</item>";
    const std::string gbkName = "\xD6\xD0";  // "中" in GBK
    for (const std::string& text :
         {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-9\"?><update>" + item + "</update>",
          "<?xml version=\"1.0\" encoding=\"GBK\"?><update>" + item + "<item name=\"" + gbkName +
              "\" md5=\"1\" size=\"1\" state=\"0\">http://u/z</item></update>"}) {
        orvane_test::writeFile(path, text);
        ASSERT_EQ(CDownloadList::LIST_INCOMPLETE, list.Check());
        std::vector<std::string> names;
        list.DownloadPending(
            [&](const CAutoString& name, const CAutoString&, int64_t, CAutoString& local) {
                names.push_back(name.c_str());
                local = CAutoString("/d/") + CAutoString(std::to_string(names.size()));
                return CDownloadList::FETCH_DONE;
            },
            kMax);
        EXPECT_EQ(CDownloadList::LIST_COMPLETE, list.Check()) << readFile(path);
        ASSERT_TRUE(list.Record("pkg", "http://u/p", "m", 2));
        EXPECT_EQ(CDownloadList::LIST_INCOMPLETE, list.Check());
        EXPECT_NE(std::string::npos, readFile(path).find("state=\"2\">/d/1<")) << readFile(path);
        if (names.size() == 2) {
            EXPECT_EQ("\xE4\xB8\xAD", names[1]);                         // read as UTF-8 "中"
            EXPECT_NE(std::string::npos, readFile(path).find(gbkName));  // kept GBK on disk
        }
    }
}
