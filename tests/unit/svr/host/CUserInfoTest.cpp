// Client identity: the id's form, its reuse across starts, and the values published.
#include "CUserInfo.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "CInfoCenter.h"
#include "TestSupport.h"

using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

class UserInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeFile(Store(), "<conf><version>2.1.0</version></conf>"));
    }
    std::string Store() const { return dir.file("conf.xml"); }

    TempDir dir;
};

void ExpectVersionOneForm(const std::string& id) {
    ASSERT_EQ(36u, id.size()) << id;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        EXPECT_TRUE(dash ? id[i] == '-' : std::isxdigit(static_cast<unsigned char>(id[i]))) << id;
    }
    EXPECT_EQ('1', id[14]) << id;
    EXPECT_NE(std::string::npos, std::string("89ab").find(id[19])) << id;
    EXPECT_EQ(std::string::npos, id.find_first_of("ABCDEF")) << id;
}

TEST_F(UserInfoTest, FirstStartStoresAnIdThatTheNextStartPublishesUnchanged) {
    std::string first;
    {
        CInfoCenter info(Store().c_str());
        CUserInfo user(&info);
        EXPECT_EQ(1, user.Init());
        first = info.GetLocalValue("clientId").ToStdString();
        ExpectVersionOneForm(first);
        EXPECT_EQ(first, info.GetValue("clientId").ToStdString());
        EXPECT_EQ("2.1.0", info.GetValue("version").ToStdString());
        char host[256] = {};
        ASSERT_EQ(0, gethostname(host, sizeof host - 1));
        EXPECT_EQ(std::string(host), info.GetValue("hostName").ToStdString());
    }
    CInfoCenter again(Store().c_str());  // the next start reads the file anew
    CUserInfo user(&again);
    user.Init();
    EXPECT_EQ(first, again.GetValue("clientId").ToStdString());
    EXPECT_EQ(first, again.GetLocalValue("clientId").ToStdString());
}

TEST_F(UserInfoTest, FreshOrDamagedStoresGetNewIds) {
    TempDir other;
    ASSERT_TRUE(writeFile(other.file("conf.xml"), "<conf/>"));
    CInfoCenter a(Store().c_str());
    CInfoCenter b(other.file("conf.xml").c_str());
    CUserInfo(&a).Init();
    CUserInfo(&b).Init();
    EXPECT_NE(a.GetLocalValue("clientId"), b.GetLocalValue("clientId"));
}

// A stored id is the installation's identity at the portal: it is kept as it is, whatever its
// form, unless it would break the request header it travels in.
TEST_F(UserInfoTest, StoredIdsAreKeptUnlessTheyCannotGoIntoAHeader) {
    CInfoCenter info(Store().c_str());
    for (const char* kept : {"ABCDEF01-2345-6789-ABCD-EF0123456789", "legacy id 42",
                             "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}", "\xE6\xA0\xA1-1"}) {
        ASSERT_TRUE(info.SetLocalValue("clientId", kept));
        CUserInfo(&info).Init();
        EXPECT_EQ(kept, info.GetValue("clientId").ToStdString());
        EXPECT_EQ(kept, info.GetLocalValue("clientId").ToStdString());
    }
    for (const char* replaced : {"x\r\nInjected: 1", "id\n", "a\tb", "a\x7F"}) {
        ASSERT_TRUE(info.SetLocalValue("clientId", replaced));
        CUserInfo(&info).Init();
        ExpectVersionOneForm(info.GetValue("clientId").ToStdString());
        EXPECT_EQ(info.GetValue("clientId"), info.GetLocalValue("clientId"));
    }
}

TEST(UuidTest, IdsMadeInOneTickDiffer) {
    std::set<std::string> ids;
    for (int i = 0; i < 2000; ++i)
        ids.insert(CUserInfo::CreateClientId().ToStdString());
    EXPECT_EQ(2000u, ids.size());
    ExpectVersionOneForm(*ids.begin());
}

TEST(UuidTest, TextFormLaysOutTheFields) {
    CUserInfo::_uuid_t uuid;
    uuid.data1 = 0x01234567;
    uuid.data2 = 0x89ab;
    uuid.data3 = 0x1cde;
    const unsigned char data4[8] = {0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0xf0, 0x8e};
    std::copy(data4, data4 + 8, uuid.data4);
    EXPECT_EQ("01234567-89ab-1cde-8ef0-556611223344",
              CUserInfo::uuid_to_string(&uuid).ToStdString());
}

}  // namespace
