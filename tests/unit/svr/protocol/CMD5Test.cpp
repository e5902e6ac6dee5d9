// MD5 against the test suite of RFC 1321, whole and fed in pieces.
#include "CMD5.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

const std::pair<const char*, const char*> kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(MD5Test, MatchesTheReferenceSuite) {
    for (const auto& [text, digest] : kSuite) {
        EXPECT_EQ(CMD5::HexDigest(text, std::char_traits<char>::length(text)), digest)
            << '"' << text << '"';
    }
}

// Splitting the input at every point must not change the digest (block boundary handling).
TEST(MD5Test, PiecewiseUpdatesGiveTheSameDigest) {
    const std::string text = kSuite[6].first;
    const std::string expected = kSuite[6].second;
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        CMD5 md5;
        md5.Update(text.data(), cut);
        md5.Update(text.data() + cut, text.size() - cut);
        unsigned char digest[16];
        md5.Final(digest);
        char hex[33];
        for (int i = 0; i < 16; ++i)
            snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        EXPECT_EQ(std::string(hex), expected) << "cut at " << cut;
    }
    // 55, 56 and 64 bytes straddle the padding boundary.
    EXPECT_EQ(CMD5::HexDigest(std::string(56, 'a').data(), 56), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(CMD5::HexDigest(std::string(64, 'a').data(), 64), "014842d480b571495a4a0363793f7367");
}

}  // namespace
