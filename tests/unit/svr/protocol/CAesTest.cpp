// AES-128 against published vectors: the FIPS-197 appendix examples, the NIST SP 800-38A ECB, CBC
// and CFB128 examples and an AESAVS known answer for zero padding; then the padding rules and
// what a decryption must refuse.
#include "CAes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

// SP 800-38A, appendix F: one key, one IV and four plaintext blocks for every mode.
const std::string kKey = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
const std::string kIv = FromHex("000102030405060708090a0b0c0d0e0f");
const std::string kPlain = FromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

struct ModeVector {
    CAes::Mode mode;
    const char* cipher;
};

const ModeVector kModeVectors[] = {
    {CAes::MODE_ECB,  // F.1.1
     "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
    {CAes::MODE_CBC,  // F.2.1
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {CAes::MODE_CFB,  // F.3.13
     "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
     "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
};

}  // namespace

TEST(AesTest, BlockCipherMatchesTheFips197Examples) {
    struct {
        const char* key;
        const char* plain;
        const char* cipher;
    } const examples[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},  // appendix B
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},  // appendix C.1
    };
    for (const auto& e : examples) {
        std::string out, back;
        ASSERT_TRUE(CAes::Encrypt(CAes::MODE_ECB, CAes::PAD_NONE, FromHex(e.key), "",
                                  FromHex(e.plain), out));
        EXPECT_EQ(e.cipher, ToHex(out));
        ASSERT_TRUE(CAes::Decrypt(CAes::MODE_ECB, CAes::PAD_NONE, FromHex(e.key), "", out, back));
        EXPECT_EQ(e.plain, ToHex(back));
    }
}

TEST(AesTest, ModesMatchTheSp800_38aExamplesBothWays) {
    for (const ModeVector& v : kModeVectors) {
        std::string out, back;
        ASSERT_TRUE(CAes::Encrypt(v.mode, CAes::PAD_NONE, kKey, kIv, kPlain, out)) << v.mode;
        EXPECT_EQ(v.cipher, ToHex(out)) << "mode " << v.mode;
        ASSERT_TRUE(CAes::Decrypt(v.mode, CAes::PAD_NONE, kKey, kIv, out, back)) << v.mode;
        EXPECT_EQ(ToHex(kPlain), ToHex(back)) << "mode " << v.mode;
    }
    // CFB is a stream mode: a text cut inside a block encrypts to the same prefix.
    std::string cut;
    ASSERT_TRUE(
        CAes::Encrypt(CAes::MODE_CFB, CAes::PAD_NONE, kKey, kIv, kPlain.substr(0, 21), cut));
    EXPECT_EQ(std::string(kModeVectors[2].cipher).substr(0, 42), ToHex(cut));
}

// PKCS#7 always pads: sixteen bytes in give two blocks out, the second being a whole block of
// 0x10 chained to the first, exactly as CBC over the padded text computes it.
TEST(AesTest, Pkcs7AddsAWholeBlockToAFullTextAndComesOffAgain) {
    const std::string block = kPlain.substr(0, 16);
    std::string out;
    ASSERT_TRUE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, block, out));
    ASSERT_EQ(32u, out.size());
    EXPECT_EQ(std::string(kModeVectors[1].cipher).substr(0, 32), ToHex(out.substr(0, 16)));
    std::string manual;
    ASSERT_TRUE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_NONE, kKey, kIv,
                              block + std::string(16, '\x10'), manual));
    EXPECT_EQ(ToHex(manual), ToHex(out));

    for (size_t len : {0u, 1u, 15u, 17u, 31u}) {
        const std::string text = kPlain.substr(0, len);
        std::string enc, dec;
        ASSERT_TRUE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, text, enc));
        EXPECT_EQ((len / 16 + 1) * 16, enc.size()) << len;
        ASSERT_TRUE(CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, enc, dec)) << len;
        EXPECT_EQ(ToHex(text), ToHex(dec)) << len;
    }
}

// AESAVS ECBVarTxt128, count 0: key all zero, plaintext 0x80 followed by fifteen zero bytes,
// which is exactly the byte 0x80 zero-padded to one block.
TEST(AesTest, ZeroPaddingMatchesAnAesavsKnownAnswer) {
    const std::string zeroKey(16, '\0');
    std::string out, back;
    ASSERT_TRUE(CAes::Encrypt(CAes::MODE_ECB, CAes::PAD_ZERO, zeroKey, "", "\x80", out));
    EXPECT_EQ("3ad78e726c1ec02b7ebfe92b23d9ec34", ToHex(out));
    ASSERT_TRUE(CAes::Decrypt(CAes::MODE_ECB, CAes::PAD_ZERO, zeroKey, "", out, back));
    EXPECT_EQ("\x80", back);
    // A full block gets no padding at all.
    ASSERT_TRUE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_ZERO, kKey, kIv, kPlain, out));
    EXPECT_EQ(kModeVectors[1].cipher, ToHex(out));
}

TEST(AesTest, RefusesBadKeysLengthsAndPadding) {
    std::string out = "untouched";
    EXPECT_FALSE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, "short", kIv, "x", out));
    EXPECT_FALSE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, "short", "x", out));
    EXPECT_FALSE(CAes::Encrypt(CAes::MODE_ECB, CAes::PAD_NONE, kKey, "", "not a block", out));
    EXPECT_FALSE(CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, "", out));
    EXPECT_FALSE(
        CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, "17 bytes of text!", out));
    // The four blocks of the CBC example decrypt to text whose last byte (0x10) claims a whole
    // block of padding that is not there.
    EXPECT_FALSE(CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv,
                               FromHex(kModeVectors[1].cipher), out));
    // The wrong key turns the padding into noise.
    std::string enc;
    ASSERT_TRUE(CAes::Encrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, kKey, kIv, "report", enc));
    EXPECT_FALSE(
        CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, std::string(16, 'k'), kIv, enc, out));
    EXPECT_EQ("untouched", out);
}
