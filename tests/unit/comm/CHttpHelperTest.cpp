#include "CHttpHelper.h"

#include <gtest/gtest.h>

namespace {

TEST(CHttpHelperSetAddress, SplitsPathAndParameters) {
    CHttpHelper helper;
    ASSERT_TRUE(helper.SetAddress(" http://10.0.0.1/p?a=1&b=2\r\n"));
    EXPECT_STREQ(helper.GetAddress().c_str(), "http://10.0.0.1/p?a=1&b=2");
    EXPECT_STREQ(helper.GetUrl().c_str(), "http://10.0.0.1/p");
    EXPECT_EQ(helper.GetParams().size(), 2u);
    EXPECT_STREQ(helper.GetParam("a").c_str(), "1");
    EXPECT_STREQ(helper.GetParam("b").c_str(), "2");
}

TEST(CHttpHelperSetAddress, PortalRedirectKeepsValuesAsTheyStand) {
    CHttpHelper helper;
    ASSERT_TRUE(helper.SetAddress(
        "http://10.0.0.1/index.cgi?wlanuserip=10.1.2.3&wlanacip=10.0.0.2&wlanusermac=aa-bb"
        "&empty=&x=a%20b&x=last&url=http://h/q=1"));
    EXPECT_STREQ(helper.GetParam("wlanuserip").c_str(), "10.1.2.3");
    EXPECT_STREQ(helper.GetParam("wlanacip").c_str(), "10.0.0.2");
    EXPECT_STREQ(helper.GetParam("wlanusermac").c_str(), "aa-bb");
    EXPECT_STREQ(helper.GetParam("empty").c_str(), "");
    EXPECT_STREQ(helper.GetParam("x").c_str(), "last");  // repeated name: last value, not decoded
    EXPECT_STREQ(helper.GetParam("url").c_str(), "http://h/q=1");
    // A missing name reads as empty and is remembered with that value.
    EXPECT_STREQ(helper.GetParam("absent").c_str(), "");
    EXPECT_EQ(helper.GetParams().count(CAutoString("absent")), 1u);
}

TEST(CHttpHelperSetAddress, RefusalsAndAddressesWithoutQuery) {
    CHttpHelper helper;
    EXPECT_FALSE(helper.SetAddress("https://10.0.0.1/p?a=1"));
    EXPECT_FALSE(helper.SetAddress("http://10.0.0.1/p?flag&other"));
    EXPECT_FALSE(helper.SetAddress(CAutoString()));

    ASSERT_TRUE(helper.SetAddress("http://10.0.0.1/p?a=1"));
    ASSERT_TRUE(helper.SetAddress("http://10.0.0.1/p"));
    EXPECT_TRUE(helper.GetParams().empty());  // nothing left over from the earlier address
    EXPECT_TRUE(helper.GetUrl().IsEmpty());

    // A piece without "=" before a "&" holds no pair and is passed over.
    ASSERT_TRUE(helper.SetAddress("http://h/p?flag&a=1"));
    EXPECT_EQ(helper.GetParams().size(), 1u);
    EXPECT_STREQ(helper.GetParam("a").c_str(), "1");
}

TEST(CHttpHelperParseAddress, SplitsAtTheFirstQuestionMark) {
    CAutoString url("unchanged");
    CAutoString params("unchanged");
    ASSERT_TRUE(CHttpHelper::ParseAddress("http://h/p?a=1?b=2", url, params));
    EXPECT_STREQ(url.c_str(), "http://h/p");
    EXPECT_STREQ(params.c_str(), "a=1?b=2");

    CAutoString url2("unchanged");
    CAutoString params2("unchanged");
    EXPECT_FALSE(CHttpHelper::ParseAddress("http://h/p", url2, params2));
    EXPECT_FALSE(CHttpHelper::ParseAddress("https://h/p?a=1", url2, params2));
    EXPECT_STREQ(url2.c_str(), "unchanged");
    EXPECT_STREQ(params2.c_str(), "unchanged");
}

TEST(CHttpHelperParseIP, HostKeepsItsPort) {
    CAutoString host;
    ASSERT_TRUE(CHttpHelper::ParseIP("https://10.0.0.1:8080/x", host));
    EXPECT_STREQ(host.c_str(), "10.0.0.1:8080");
    ASSERT_TRUE(CHttpHelper::ParseIP("http://portal.example", host));
    EXPECT_STREQ(host.c_str(), "portal.example");
    // "http://" is looked for first, wherever it stands.
    ASSERT_TRUE(CHttpHelper::ParseIP("https://a/?next=http://b/c", host));
    EXPECT_STREQ(host.c_str(), "b");

    CAutoString untouched("same");
    EXPECT_FALSE(CHttpHelper::ParseIP("ftp://10.0.0.1/", untouched));
    EXPECT_FALSE(CHttpHelper::ParseIP("http://", untouched));
    EXPECT_FALSE(CHttpHelper::ParseIP("http:///path", untouched));
    EXPECT_STREQ(untouched.c_str(), "same");
}

TEST(CHttpHelperParseIP, PortSplitOnlyWhenAPathFollows) {
    CAutoString host;
    CAutoString port("none");
    ASSERT_TRUE(CHttpHelper::ParseIP("http://10.0.0.1:8080/index.cgi", host, port));
    EXPECT_STREQ(host.c_str(), "10.0.0.1");
    EXPECT_STREQ(port.c_str(), "8080");

    port = "none";
    ASSERT_TRUE(CHttpHelper::ParseIP("http://10.0.0.1/index.cgi", host, port));
    EXPECT_STREQ(host.c_str(), "10.0.0.1");
    EXPECT_STREQ(port.c_str(), "none");

    ASSERT_TRUE(CHttpHelper::ParseIP("http://10.0.0.1:8080", host, port));
    EXPECT_STREQ(host.c_str(), "10.0.0.1:8080");
    EXPECT_STREQ(port.c_str(), "none");
}

TEST(CHttpHelperParseIP, PortWithoutHostIsRefusedAndLeavesBothUntouched) {
    CAutoString host("same");
    CAutoString port("none");
    EXPECT_FALSE(CHttpHelper::ParseIP("http://:8080/index.cgi", host, port));
    EXPECT_STREQ(host.c_str(), "same");
    EXPECT_STREQ(port.c_str(), "none");
}

}  // namespace
