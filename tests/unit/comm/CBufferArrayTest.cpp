#include "CBufferArray.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CHttpData.h"

namespace {

char* Chunk(const char* text) {
    char* chunk = new char[std::strlen(text)];
    std::memcpy(chunk, text, std::strlen(text));
    return chunk;
}

TEST(CBufferArray, CopiesWholeChunksThatFitAndNoMore) {
    CBufferArray chunks;
    ASSERT_TRUE(chunks.AddBuffer(Chunk("abc"), 3));
    ASSERT_TRUE(chunks.AddBuffer(Chunk("defg"), 4));
    ASSERT_TRUE(chunks.AddBuffer(Chunk("h"), 1));
    EXPECT_EQ(chunks.GetAllBufferSize(), 8u);

    std::string out(10, '#');
    EXPECT_EQ(chunks.RecvBuffer(&out[0], 8), 8u);
    EXPECT_EQ(out, "abcdefgh##");

    // "defg" does not fit after "abc" in 6 bytes: it and every later chunk stay out.
    out.assign(10, '#');
    EXPECT_EQ(chunks.RecvBuffer(&out[0], 6), 3u);
    EXPECT_EQ(out, "abc#######");
    EXPECT_EQ(chunks.RecvBuffer(&out[0], 2), 0u);

    chunks.ReleaseBuffer();
    EXPECT_EQ(chunks.GetAllBufferSize(), 0u);
    EXPECT_EQ(chunks.RecvBuffer(&out[0], 10), 0u);
}

TEST(CHttpData, HeaderLookup) {
    CHttpData data(true);
    EXPECT_STREQ(data.GetHeadAttri("Error-Code").c_str(), "");
    const char head[] =
        "HTTP/1.1 200 OK\r\nError-Code: 0\r\nServer-Tag:  s 1 \r\nschoolid: 42\r\n"
        "Broken-Line no colon\r\nX: y\r\nUnfinished: z";
    char* copy = new char[sizeof(head)];
    std::memcpy(copy, head, sizeof(head));
    data.RespHead(copy);
    EXPECT_STREQ(data.GetHeadAttri("Error-Code").c_str(), "0");
    EXPECT_STREQ(data.GetHeadAttri("Server-Tag").c_str(), "s1");  // blanks removed
    EXPECT_STREQ(data.GetHeadText("Server-Tag").c_str(), "s 1");  // only the outer ones
    EXPECT_STREQ(data.GetHeadText("Unfinished").c_str(), "");
    EXPECT_STREQ(data.GetHeadAttri("schoolid:").c_str(), "42");
    EXPECT_STREQ(data.GetHeadAttri("Sub-Error").c_str(), "");
    EXPECT_STREQ(data.GetHeadAttri("Error-code").c_str(), "");  // case matters
    // The colon must stand on the name's own line.
    EXPECT_STREQ(data.GetHeadAttri("Broken-Line").c_str(), "");
    EXPECT_STREQ(data.GetHeadAttri("Unfinished").c_str(), "");
}

}  // namespace
