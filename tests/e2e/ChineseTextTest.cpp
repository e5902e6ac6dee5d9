// A portal that speaks Chinese: answers carrying Chinese text (a note in every answer, a user id, a
// display name in the sharing list), a portal page served in GBK, and an account that is not
// ASCII, with the real OrvaneSvr from the terminal inside a network namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "CXmlFileCodec.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

// 张三 (an account and the portal's user id), 校园网络 (campus network), 热点助手 (hotspot helper).
const std::string kZhang = "\xE5\xBC\xA0\xE4\xB8\x89";
const std::string kCampus = "\xE6\xA0\xA1\xE5\x9B\xAD\xE7\xBD\x91\xE7\xBB\x9C";
const std::string kHotspot = "\xE7\x83\xAD\xE7\x82\xB9\xE5\x8A\xA9\xE6\x89\x8B";
const char kPassword[] = "pw-1";
const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";

// The text as the service holds answers: converted from UTF-8 to GB18030.
std::string Gb18030(const std::string& utf8) {
    std::string out;
    EXPECT_TRUE(CXmlFileCodec::Convert(utf8, "UTF-8", "GB18030", out));
    return out;
}

class ChineseTextTest : public E2eTest {
protected:
    static E2eOptions Chinese(std::vector<std::string> more = {}) {
        std::vector<std::string> args = {
            "--note",         kCampus, "--user-id", kZhang,
            "--page-charset", "GBK",   "--account", kZhang + ":" + kPassword};
        args.insert(args.end(), more.begin(), more.end());
        return E2eOptions::Sim(args);
    }
    bool OutputHas(const std::string& text, std::chrono::milliseconds timeout) {
        return waitFor([&] { return world->ServiceOutput().find(text) != std::string::npos; },
                       timeout, 20ms);
    }
    // Every answer of this kind went out with Error-Code 0 and carried the note.
    void ExpectCleanAnswers(const std::string& kind) {
        const auto records = world->Requests(kind);
        ASSERT_FALSE(records.empty()) << kind;
        for (const cJSON* rec : records) {
            EXPECT_EQ("", E2eWorld::Field(rec, "fault")) << kind;
            const cJSON* answer = cJSON_GetObjectItemCaseSensitive(rec, "answer");
            const cJSON* code = cJSON_GetObjectItemCaseSensitive(answer, "error_code");
            EXPECT_TRUE(cJSON_IsNumber(code) && code->valueint == 0) << kind;
            EXPECT_NE(std::string::npos, E2eWorld::Field(rec, "answer", "document").find(kCampus))
                << kind;
        }
    }
};

}  // namespace

TEST_F(ChineseTextTest, ChineseAnswersAndAGbkPageGiveLoginKeepAlivesAndLogout) {
    // A sharing list whose program is not running: it must load and find nothing.
    E2E_WORLD(Chinese(
        {"--against-interval", "1", "--against-extra",
         "<against><process displayname=\"" + kHotspot + "\">orvnone</process></against>"}));
    ASSERT_TRUE(world->StartService({kZhang, kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    ASSERT_TRUE(world->WaitForRequests("keep", 3, 15s));

    // The account went out whole, and the portal's answers all carried Chinese text.
    const auto logins = world->Requests("auth");
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ(kZhang, E2eWorld::Field(logins[0], "fields", "userid"));
    for (const char* kind : {"ticket", "auth", "keep"})
        ExpectCleanAnswers(kind);
    // The login answer was read: its user id is in the log as the service holds it.
    EXPECT_NE(std::string::npos, world->LogText().find("<userid>" + Gb18030(kZhang)));

    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(15s)) << world->ServiceOutput();
    ASSERT_EQ(1u, world->Count("term"));
    EXPECT_EQ("2", E2eWorld::Field(world->Requests("term")[0], "fields", "reason"));
    EXPECT_EQ(std::string::npos, world->ServiceOutput().find("fail")) << world->ServiceOutput();
    EXPECT_EQ(std::string::npos, world->LogText().find("150001"));
}

TEST_F(ChineseTextTest, ProgramListedUnderAChineseDisplayNameIsFound) {
    const std::string program = "orvzh" + std::to_string(getpid());
    E2E_WORLD(Chinese({"--against-interval", "1", "--logout-delay", "2", "--against-extra",
                       "<against><process displayname=\"" + kHotspot + "\">" + program +
                           "</process></against>"}));
    NamedSleeper sleeper(world->dir().path(), program);
    ASSERT_TRUE(waitFor([&] { return sleeper.running(program); }, 5s));
    ASSERT_TRUE(world->StartService({kZhang, kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    ASSERT_TRUE(WaitForLogout("6", 15s)) << world->LogText();
    EXPECT_TRUE(world->LogHas(Gb18030(kHotspot) + "\n", 2s)) << world->LogText();
}

// A login the state poll finds (made elsewhere for this machine) is adopted from a state answer
// that carries the Chinese user id and note.
TEST_F(ChineseTextTest, StateAnswerWithChineseTextIsAdopted) {
    E2E_WORLD(Chinese());
    StartToPreconnected();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(world->SimControl("login-elsewhere " + kZhang));
    ASSERT_TRUE(window.WaitState(2, 20s));
    bool carried = false;
    for (const cJSON* rec : world->Requests("state")) {
        const std::string doc = E2eWorld::Field(rec, "answer", "document");
        carried = carried || (doc.find(kCampus) != std::string::npos &&
                              doc.find("<userid>" + kZhang) != std::string::npos);
    }
    EXPECT_TRUE(carried);
    ASSERT_TRUE(world->WaitForRequests("keep", 1, 10s));
    ExpectCleanAnswers("keep");
}
