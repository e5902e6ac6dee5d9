// Error texts: lookups against small files written by each test, the shipped table, and a scan of
// the service's sources for every code it can post.
#include "CErrorCodeTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using orvane_test::TempDir;

class ErrorCodeTableTest : public ::testing::Test {
protected:
    bool LoadEntries(const std::string& entries) {
        std::string doc =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<code>\n" + entries + "</code>\n";
        EXPECT_TRUE(orvane_test::writeFile(dir.file("code.xml"), doc));
        return table.LoadFile(dir.file("code.xml").c_str());
    }
    std::string Text(long code, const char* sub, const char* extra = "") {
        return table.GetErrorText(code, sub, extra).c_str();
    }

    TempDir dir;
    CErrorCodeTable table;
};

TEST_F(ErrorCodeTableTest, PlainAndCombinedKeysMatchOnlyTheirOwnCode) {
    ASSERT_TRUE(
        LoadEntries("<err id=\"150002\" value=\"config error\"/>\n"
                    "<err id=\"20010206.x\" value=\"only x\"/>\n"));
    EXPECT_EQ("config error", Text(150002, ""));
    EXPECT_EQ("config error", Text(150002, nullptr));
    // No fallback from a combined key to the plain one.
    EXPECT_EQ("错误码：150002", Text(150002, "7"));
    EXPECT_EQ("only x", Text(20010206, "x"));
    EXPECT_EQ("错误码：20010206", Text(20010206, ""));
    EXPECT_EQ("错误码：20010206", Text(20010206, "X"));
    EXPECT_EQ("错误码：-4", Text(-4, ""));
    // The lookup without the stand-in says whether the key has an entry at all.
    CAutoString found("kept");
    EXPECT_FALSE(table.FindErrorText(150002, "7", "", found));
    EXPECT_EQ("kept", std::string(found.c_str()));
    ASSERT_TRUE(table.FindErrorText(20010206, "x", "", found));
    EXPECT_EQ("only x", std::string(found.c_str()));
}

TEST_F(ErrorCodeTableTest, ExtraTextFillsEveryPlaceholderAndIsNeverAFormat) {
    ASSERT_TRUE(
        LoadEntries("<err id=\"1\" value=\"please check %s\"/>\n"
                    "<err id=\"2\" value=\"%s and %s\"/>\n"
                    "<err id=\"3\" value=\"100%d done\"/>\n"
                    "<err id=\"4\" value=\"\"/>\n"));
    EXPECT_EQ("please check eth0", Text(1, "", "eth0"));
    EXPECT_EQ("please check ", Text(1, "", ""));
    EXPECT_EQ("please check ", Text(1, "", nullptr));
    EXPECT_EQ("a and a", Text(2, "", "a"));
    // An extra text that itself holds "%s" or "%n" is shown as it stands.
    EXPECT_EQ("%s%n and %s%n", Text(2, "", "%s%n"));
    EXPECT_EQ("100%d done", Text(3, "", "x"));
    EXPECT_EQ("", Text(4, ""));
}

TEST_F(ErrorCodeTableTest, FirstOfTwoEqualIdsWins) {
    ASSERT_TRUE(
        LoadEntries("<err id=\"7\" value=\"first\"/>\n"
                    "<err id=\"7\" value=\"second\"/>\n"
                    "<other id=\"8\" value=\"not an err\"/>\n"
                    "<err value=\"no id\"/>\n"));
    EXPECT_EQ("first", Text(7, ""));
    EXPECT_EQ("错误码：8", Text(8, ""));
    EXPECT_EQ(2u, table.Size());  // "7" and the empty id
}

TEST_F(ErrorCodeTableTest, BadFilesLeaveTheTableEmpty) {
    ASSERT_TRUE(LoadEntries("<err id=\"5\" value=\"five\"/>\n"));
    EXPECT_FALSE(table.LoadFile(dir.file("missing.xml").c_str()));
    EXPECT_EQ(0u, table.Size());
    EXPECT_EQ("错误码：5", Text(5, ""));

    ASSERT_TRUE(LoadEntries("<err id=\"5\" value=\"five\"/>\n"));
    orvane_test::writeFile(dir.file("broken.xml"), "<code><err id=\"5\" value=\"five\"></code>");
    EXPECT_FALSE(table.LoadFile(dir.file("broken.xml").c_str()));
    EXPECT_EQ(0u, table.Size());

    orvane_test::writeFile(dir.file("other.xml"), "<codes><err id=\"5\" value=\"five\"/></codes>");
    EXPECT_FALSE(table.LoadFile(dir.file("other.xml").c_str()));
    EXPECT_EQ("错误码：5", Text(5, ""));
}

TEST_F(ErrorCodeTableTest, LoadReadsConfBelowTheWorkingDirectory) {
    std::filesystem::create_directories(dir.file("conf"));
    orvane_test::writeFile(dir.file("conf/code.xml"),
                           "<code><err id=\"42\" value=\"答案\"/></code>");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const bool loaded = table.Load();
    std::filesystem::current_path(previous);
    ASSERT_TRUE(loaded);
    EXPECT_EQ("答案", Text(42, ""));
}

// ---- The shipped table ------------------------------------------------------------------------

const std::string kShippedTable = std::string(ORVANE_SOURCE_DIR) + "/conf/code.xml";

// The first argument of a call that is a plain decimal literal, or "" when none is.
std::string FirstLiteralArgument(const std::string& text, size_t open) {
    static const std::regex literal(R"(^\s*(-?[0-9]+)\s*$)");
    int depth = 0;
    std::string arg;
    for (size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == ',' || c == ')') && depth == 0) {
            std::smatch m;
            if (std::regex_match(arg, m, literal))
                return m[1];
            if (c == ')')
                return "";
            arg.clear();
            continue;
        }
        if (c == '(')
            ++depth;
        if (c == ')')
            --depth;
        arg += c;
    }
    return "";
}

// Every literal error code handed to the calls that post a state message, by file.
std::map<std::string, std::string> PostedCodes(const std::string& root) {
    static const std::regex call(R"(\b(NetStateChange|PostError|PostNetStateMessage(Ex)?)\s*\()");
    std::map<std::string, std::string> codes;  // code -> first file that posts it
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const auto ext = entry.path().extension();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h"))
            continue;
        const std::string text = orvane_test::readFile(entry.path().string());
        for (auto it = std::sregex_iterator(text.begin(), text.end(), call);
             it != std::sregex_iterator(); ++it) {
            const size_t open = it->position(0) + it->length(0) - 1;
            const std::string code = FirstLiteralArgument(text, open);
            if (!code.empty())
                codes.emplace(code, entry.path().filename().string());
        }
    }
    return codes;
}

TEST(ShippedErrorCodeTable, HasATextForEveryCodeTheServicePosts) {
    CErrorCodeTable table;
    ASSERT_TRUE(table.LoadFile(kShippedTable.c_str()));
    const auto codes = PostedCodes(std::string(ORVANE_SOURCE_DIR) + "/svr");
    // The service posts some thirty distinct codes; far fewer means the scan went blind.
    ASSERT_GE(codes.size(), 25u);
    for (const auto& [code, file] : codes) {
        const std::string text = table.GetErrorText(std::stol(code), "", "").c_str();
        EXPECT_NE("错误码：" + code, text)
            << "code " << code << " (posted in " << file << ") has no entry in conf/code.xml";
        EXPECT_FALSE(text.empty()) << "code " << code << " has an empty text";
    }
}

TEST(ShippedErrorCodeTable, PortalRefusalsAndTransportFailuresReadWell) {
    CErrorCodeTable table;
    ASSERT_TRUE(table.LoadFile(kShippedTable.c_str()));
    // The portal's own verdicts arrive as 140000 + n; a wrong password is n = 11.
    EXPECT_EQ("账号或密码错误", std::string(table.GetErrorText(140011, "", "").c_str()));
    // Transport failures carry the transport's result as extra text.
    const std::string http = table.GetErrorText(150102, "", "-4").c_str();
    EXPECT_NE(std::string::npos, http.find("-4")) << http;
    const std::string elsewhere = table.GetErrorText(150200, "", "10.0.0.9 12:00").c_str();
    EXPECT_NE(std::string::npos, elsewhere.find("10.0.0.9 12:00")) << elsewhere;
}

}  // namespace
