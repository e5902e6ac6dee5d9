// Redirect targets read from a response: Location headers, meta refresh and head scripts, and the
// refusal of everything that is not an absolute web address.
#include "CHttpData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A response record as the transport leaves it.
void Respond(CHttpData& data, int status, const std::string& head, const std::string& body = "") {
    data.retCode = status;
    char* h = new char[head.size() + 1];
    std::memcpy(h, head.c_str(), head.size() + 1);
    data.RespHead(h);
    char* b = new char[body.size() + 1];
    std::memcpy(b, body.c_str(), body.size() + 1);
    data.RespData(b);
    data.dwDataLen = body.size();
}

std::string Target(int status, const std::string& head, const std::string& body = "") {
    CHttpData data(true);
    Respond(data, status, head, body);
    return data.GetRedirectAddress().c_str();
}

const char kHead[] = "HTTP/1.1 302 Found\r\nServer: gw\r\n";

}  // namespace

TEST(CHttpData, LocationHeaderIsLowerCasedAndStripped) {
    const std::string head = std::string(kHead) +
                             "Location: http://10.0.0.1/index.cgi?wlanuserip=10.1.2.3&wlanacip="
                             "10.0.0.2&wlanusermac=AA-BB\r\nContent-Length: 0\r\n\r\n";
    const std::string want =
        "http://10.0.0.1/index.cgi?wlanuserip=10.1.2.3&wlanacip=10.0.0.2&wlanusermac=aa-bb";
    EXPECT_EQ(want, Target(302, head));
    EXPECT_EQ(want, Target(303, head));
    // The same answer under other statuses is no redirect.
    EXPECT_EQ("", Target(301, head));
    EXPECT_EQ("", Target(307, head));
    EXPECT_EQ("", Target(200, head));
    // The header name in any case; the last line without its line end.
    EXPECT_EQ("https://p/x", Target(302, std::string(kHead) + "LOCATION:https://P/X"));
    EXPECT_EQ("", Target(302, std::string(kHead) + "\r\n"));
}

TEST(CHttpData, OnlyAbsoluteWebAddressesAreTargets) {
    for (const char* location : {"/index.cgi?x=http://evil/", "index.cgi", "file:///etc/passwd",
                                 "ftp://host/x", "javascript:go('http://a/')", ""}) {
        EXPECT_EQ("", Target(302, std::string(kHead) + "Location: " + location + "\r\n"))
            << location;
    }
    const std::string huge = "http://h/" + std::string(CHttpData::kMaxRedirectBytes, 'a');
    EXPECT_EQ("", Target(302, std::string(kHead) + "Location: " + huge + "\r\n"));
}

TEST(CHttpData, MetaRefreshTarget) {
    const std::string page =
        "<html><head><META HTTP-EQUIV=\"Refresh\" content=\"0; url=https://Portal/x\"></head>"
        "<body></body></html>";
    EXPECT_EQ("https://portal/x", Target(200, "HTTP/1.1 200 OK\r\n", page));
    // A relative refresh target is not followed.
    EXPECT_EQ("", Target(200, "HTTP/1.1 200 OK\r\n",
                         "<html><meta http-equiv=\"refresh\" content=\"0; url=/login\"></html>"));
    // A refresh without a target names none, even with a script redirect below it.
    EXPECT_EQ("", Target(200, "HTTP/1.1 200 OK\r\n",
                         "<html><head><meta http-equiv=\"refresh\" content=\"5\">"
                         "<script>location.href=\"http://a/b\"</script></head></html>"));
    // Unterminated attributes end the search instead of running past the page.
    EXPECT_EQ("", Target(200, "", "<html><meta http-equiv=\"refresh\" content=\"0; url=http://x"));
}

TEST(CHttpData, ScriptTargetOnlyInsideTheHead) {
    const std::string script = "<script>location.href=\"http://A/b\"</script>";
    EXPECT_EQ("http://a/b", Target(200, "", "<html><head>" + script + "</head><body></body>"));
    EXPECT_EQ("", Target(200, "", "<html><head></head><body>" + script + "</body></html>"));
    EXPECT_EQ("", Target(200, "", "<html><head>" + script));  // head never closed
    EXPECT_EQ("", Target(200, "", "<html><head><script>location.href=\"http://a/b\"</head>"));
    // A plain page and an empty record have no target.
    EXPECT_EQ("", Target(200, "", "<html><head><title>x</title></head></html>"));
    CHttpData empty(true);
    empty.retCode = 302;
    EXPECT_EQ("", std::string(empty.GetRedirectAddress().c_str()));
}

TEST(CHttpData, HeaderLookupReadsTheValueOfTheNamedLine) {
    CHttpData data(true);
    Respond(data, 302,
            std::string(kHead) + "Location: http://a/?q=1\r\nschoolid: S 7\r\nError-Code:0\r\n");
    EXPECT_EQ(data.GetHeadAttri("Location"), "http://a/?q=1");  // colons in the value stay
    EXPECT_EQ(data.GetHeadAttri("schoolid:"), "S7");
    EXPECT_EQ(data.GetHeadAttri("Error-Code"), "0");
    EXPECT_EQ(data.GetHeadAttri("Server-Tag"), "");
}

// A header's text cannot pose as another header: names count only at a line start, and a value
// with a control character in it is no value.
TEST(CHttpData, HeaderLookupTakesNamesOnlyAtALineStart) {
    CHttpData data(true);
    Respond(data, 200,
            std::string(kHead) +
                "Sub-Error: busy Error-Code: 0\r\nX-Server-Tag: forged\r\nError-Code: 5\r\n"
                "Lone: a\nServer-Tag: t1\r\nBell: a\x07z\r\nTabbed: a\tb\r\nCr: a\rb\r\n");
    EXPECT_EQ(data.GetHeadAttri("Error-Code"), "5");
    EXPECT_EQ(data.GetHeadAttri("Server-Tag"), "t1");  // the line after a lone LF is a line
    EXPECT_EQ(data.GetHeadAttri("Lone"), "a");
    EXPECT_EQ(data.GetHeadAttri("Bell"), "");
    EXPECT_EQ(data.GetHeadAttri("Cr"), "");
    EXPECT_EQ(data.GetHeadAttri("Tabbed"), "a\tb");
    EXPECT_TRUE(CHttpData::IsHeaderValue("ZKRW/Linux64/1.0 \t x"));
    EXPECT_TRUE(CHttpData::IsHeaderValue(nullptr));
    EXPECT_FALSE(CHttpData::IsHeaderValue("a\r\nX: y"));
    EXPECT_FALSE(CHttpData::IsHeaderValue("a\x7f"));
}
