// State messages as the client receives them: both parameter forms byte for byte.
#include "CNetStatePoster.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(CNetStatePoster, PlainAndExtendedForms) {
    std::vector<std::string> sent;
    CNetStatePoster poster([&](const char* target, const char* opcode, const char* param) {
        sent.push_back(std::string(target) + "|" + opcode + "|" + param);
    });
    poster.PostNetStateMessage(INetConn::ET_PORTAL, INetConn::ES_NONE, INetConn::ES_PRECONNECTED, 0,
                               "");
    poster.PostNetStateMessageEx(INetConn::ET_PORTAL, INetConn::ES_NONE, INetConn::ES_CONNECTFAIL,
                                 150102, "HttpError", "-4");
    poster.PostNetStateMessage(INetConn::ET_UNKNOWN, INetConn::ES_CONNECTING,
                               INetConn::ES_CONNECTFAIL, 140105, CAutoString());
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(
        "Portal|NetStateMessageResp|<type>51</type><oldState>0</oldState><newState>31</newState>"
        "<ErrorCode>0</ErrorCode><subErrCode></subErrCode><subType></subType><extern></extern>",
        sent[0]);
    EXPECT_EQ(
        "Portal|NetStateMessageResp|<type>51</type><oldState>0</oldState><newState>3</newState>"
        "<ErrorCode>150102</ErrorCode><subErrCode></subErrCode><subType>HttpError</subType>"
        "<extern>-4</extern>",
        sent[1]);
    EXPECT_EQ(
        "Portal|NetStateMessageResp|<type>0</type><oldState>1</oldState><newState>3</newState>"
        "<ErrorCode>140105</ErrorCode><subErrCode></subErrCode><subType></subType><extern></"
        "extern>",
        sent[2]);
}

// Portal header values travel in these texts; markup in them must not reshape the message.
TEST(CNetStatePoster, TextValuesAreEscaped) {
    EXPECT_EQ(
        "<type>51</type><oldState>1</oldState><newState>3</newState><ErrorCode>140001</ErrorCode>"
        "<subErrCode>a&lt;/subErrCode&gt;&amp;b</subErrCode><subType></subType><extern></extern>",
        std::string(CNetStatePoster::FormatPlain(INetConn::ET_PORTAL, INetConn::ES_CONNECTING,
                                                 INetConn::ES_CONNECTFAIL, 140001,
                                                 "a</subErrCode>&b")));
    EXPECT_EQ(
        "<type>51</type><oldState>1</oldState><newState>3</newState><ErrorCode>150200</ErrorCode>"
        "<subErrCode></subErrCode><subType>ConnError</subType><extern>&lt;x&gt;</extern>",
        std::string(CNetStatePoster::FormatEx(INetConn::ET_PORTAL, INetConn::ES_CONNECTING,
                                              INetConn::ES_CONNECTFAIL, 150200, "ConnError",
                                              "<x>")));
    EXPECT_EQ(
        "<type>51</type><oldState>0</oldState><newState>3</newState><ErrorCode>1</ErrorCode>"
        "<subErrCode></subErrCode><subType></subType><extern></extern>",
        std::string(CNetStatePoster::FormatEx(INetConn::ET_PORTAL, INetConn::ES_NONE,
                                              INetConn::ES_CONNECTFAIL, 1, nullptr, nullptr)));
}
