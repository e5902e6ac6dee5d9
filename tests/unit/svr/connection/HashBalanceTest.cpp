// Portal server lists: loading, the hashed choice and removal of failed servers.
#include "HashBalance.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Entries(const HashBalance& hb) {
    std::vector<std::string> out;
    for (const CAutoString& s : hb.serverMap)
        out.push_back(s.c_str());
    return out;
}

}  // namespace

TEST(HashBalance, ListLoading) {
    HashBalance hb;
    hb.SetIpList("10.0.0.1,10.0.0.2");
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "10.0.0.2"}), Entries(hb));
    hb.SetIpList("a1,b1,");
    EXPECT_EQ((std::vector<std::string>{"a1", "b1"}), Entries(hb));
    hb.SetIpList("a1,,b1");
    EXPECT_EQ((std::vector<std::string>{"a1", "", "b1"}), Entries(hb));
    hb.SetIpList("a");
    EXPECT_EQ(0u, hb.Size());
    hb.SetIpList("ab");
    EXPECT_EQ(1u, hb.Size());
    hb.SetIpList(nullptr);
    EXPECT_EQ(0u, hb.Size());
}

TEST(HashBalance, HashAndChoice) {
    EXPECT_EQ(65u, HashBalance::hash_index("A"));
    EXPECT_EQ(3105u, HashBalance::hash_index("ab"));
    EXPECT_EQ(0u, HashBalance::hash_index(""));
    // Bytes count as unsigned.
    EXPECT_EQ(255u, HashBalance::hash_index("\xff"));
    EXPECT_EQ(3910912249u, HashBalance::hash_index("10.9.1.20-client"));  // wraps modulo 2^32

    HashBalance hb;
    EXPECT_TRUE(hb.getServer("A").IsEmpty());
    hb.SetIpList("s0,s1");
    EXPECT_EQ(hb.getServer("A"), "s1");
    EXPECT_EQ(hb.getServer("ab"), "s1");  // 3105 mod 2
    EXPECT_TRUE(hb.getServer("").IsEmpty());
    EXPECT_TRUE(hb.getServer(nullptr).IsEmpty());
}

TEST(HashBalance, RemovedServerIsNotChosenAgain) {
    HashBalance hb;
    hb.SetIpList("s0,s1,s1");
    hb.deleteIp("s1");
    EXPECT_EQ((std::vector<std::string>{"s0", "s1"}), Entries(hb));
    hb.deleteIp("absent");
    EXPECT_EQ(2u, hb.Size());
    CAutoString first = hb.getServer("client");
    hb.deleteIp(first);
    EXPECT_EQ(1u, hb.Size());
    EXPECT_NE(first, hb.getServer("client"));
}
