// Information center: memory, global and local layers, and the store file's crash safety.
#include "CInfoCenter.h"

#include "CXMLOpt.h"
#include "IServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

const char* kStore =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<conf>\n<version>1.0.0</version>\n</conf>\n";

// Records what a router would send; stands in for the service's router.
class RecordingServer : public IServer {
public:
    void RegisterBusiness(const char*, IBusiness*) override {}
    bool PostMessage(const char* message) override {
        posted.emplace_back(message);
        return true;
    }
    ISvrInfoCenter* GetInfoCenter() override { return nullptr; }
    std::vector<std::string> posted;
};

class InfoCenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("conf"));
        ASSERT_TRUE(writeFile(path, kStore));
    }
    // Reads key from the store file as a fresh process would.
    std::string StoredValue(const char* key) {
        CInfoCenter fresh(path.c_str());
        return fresh.GetLocalValue(key).ToStdString();
    }
    std::vector<std::string> FolderEntries() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("conf"))) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempDir dir;
    std::string path = dir.file("conf/conf.xml");
};

TEST_F(InfoCenterTest, MemoryLayerReplacesAndStaysApartFromTheFile) {
    CInfoCenter info(path.c_str());
    EXPECT_EQ("", info.GetValue("version").ToStdString());  // the file value is local only
    info.SetValue("version", "2.0");
    info.SetValue("version", "2.1");
    info.SetValue("Version", "other");  // keys are case-sensitive
    EXPECT_EQ("2.1", info.GetValue("version").ToStdString());
    EXPECT_EQ("1.0.0", info.GetLocalValue("version").ToStdString());
    info.SetValue("hostName", "pc");
    EXPECT_EQ("", info.GetLocalValue("hostName").ToStdString());
    EXPECT_EQ("", info.GetValue("absent").ToStdString());
}

TEST_F(InfoCenterTest, LocalWritesPersistInsertNewKeysFirstAndDecodeMarkup) {
    {
        CInfoCenter info(path.c_str());
        EXPECT_TRUE(info.SetLocalValue("PID", "1234\n"));
        EXPECT_TRUE(info.SetLocalValue("version", "1.2.3"));
        EXPECT_TRUE(info.SetLocalValue("Password", "a<b&c>\"d'"));
    }
    const std::string text = readFile(path);
    // New keys go first under the root: the last one inserted leads.
    EXPECT_LT(text.find("<Password>"), text.find("<PID>"));
    EXPECT_LT(text.find("<PID>"), text.find("<version>"));
    EXPECT_EQ(std::string::npos, text.find("a<b"));  // stored escaped
    EXPECT_EQ("1234\n", StoredValue("PID"));
    EXPECT_EQ("1.2.3", StoredValue("version"));
    EXPECT_EQ("a<b&c>\"d'", StoredValue("Password"));
    EXPECT_EQ(1u, FolderEntries().size()) << "no temporary file may stay behind";
}

TEST_F(InfoCenterTest, WithoutAUsableStoreWritesAreRefusedAndNothingIsCreated) {
    const std::string missing = dir.file("conf/none.xml");
    CInfoCenter none(missing.c_str());
    EXPECT_FALSE(none.SetLocalValue("PID", "1\n"));
    EXPECT_EQ("", none.GetLocalValue("PID").ToStdString());
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string broken = dir.file("conf/broken.xml");
    ASSERT_TRUE(writeFile(broken, "<conf><PID>1</conf>"));
    CInfoCenter bad(broken.c_str());
    EXPECT_FALSE(bad.SetLocalValue("PID", "2\n"));
    EXPECT_EQ("<conf><PID>1</conf>", readFile(broken));

    CInfoCenter unnamed(nullptr);
    EXPECT_FALSE(unnamed.SetLocalValue("PID", "3\n"));
}

TEST_F(InfoCenterTest, SeveralLocalValuesLandTogetherAndABadKeyChangesNothing) {
    {
        CInfoCenter info(path.c_str());
        EXPECT_TRUE(info.SetLocalValues({{"termUrl", "http://p/term?a=1&b=2"},
                                         {"keepUrl", "http://p/keep"},
                                         {"version", "2.0"}}));
    }
    EXPECT_EQ("http://p/term?a=1&b=2", StoredValue("termUrl"));
    EXPECT_EQ("http://p/keep", StoredValue("keepUrl"));
    EXPECT_EQ("2.0", StoredValue("version"));
    EXPECT_EQ(1u, FolderEntries().size());

    // An empty key refuses the whole list: neither the file nor the document changes.
    const std::string before = readFile(path);
    CInfoCenter info(path.c_str());
    EXPECT_FALSE(info.SetLocalValues({{"keepUrl", "http://q/keep"}, {"", "x"}}));
    EXPECT_FALSE(info.SetLocalValues({}));
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ("http://p/keep", info.GetLocalValue("keepUrl").ToStdString());

    // A value the store cannot hold is left out; the others are still written.
    EXPECT_FALSE(info.SetLocalValues({{"keepUrl", "bad\x01value"}, {"area", "north"}}));
    EXPECT_EQ("http://p/keep", StoredValue("keepUrl"));
    EXPECT_EQ("north", StoredValue("area"));

    CInfoCenter none(dir.file("conf/none.xml").c_str());
    EXPECT_FALSE(none.SetLocalValues({{"area", "south"}}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("conf/none.xml")));
}

// The write fails inside the helper (file size limit, which holds for root too): the call reports
// it, the old file stays byte for byte, no temporary file is left, and the process still reads the
// new value from its document in memory.
TEST_F(InfoCenterTest, FailedStoreWriteKeepsTheOldFileAndReportsFailure) {
    const std::string before = readFile(path);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        CInfoCenter info(path.c_str());
        const bool written = info.SetLocalValue("clientId", "0123456789abcdef0123456789abcdef");
        const bool kept = info.GetLocalValue("clientId") == "0123456789abcdef0123456789abcdef";
        _exit(written ? 1 : (kept ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1: reported success, 2: value lost in memory";
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(1u, FolderEntries().size());
}

// A writer killed at any moment never leaves a store that fails to parse or lacks a value.
TEST_F(InfoCenterTest, StoreAlwaysParsesWhenTheWriterIsKilled) {
    const std::string filler(2000, 'x');
    for (int round = 0; round < 30; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CInfoCenter info(path.c_str());
            for (int i = 0; i < 100000; ++i) {
                info.SetLocalValue("counter", (std::to_string(i) + filler).c_str());
            }
            _exit(0);
        }
        usleep(static_cast<useconds_t>(1000 + (round * 1700) % 15000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        CXMLOpt doc;
        ASSERT_TRUE(doc.LoadFile(path.c_str())) << "round " << round;
        EXPECT_EQ("1.0.0", doc.GetValue("version").ToStdString()) << "round " << round;
        const std::string counter = doc.GetValue("counter").ToStdString();
        if (!counter.empty()) {  // empty: killed before its first write
            ASSERT_GT(counter.size(), filler.size()) << "round " << round;
            EXPECT_EQ(filler, counter.substr(counter.size() - filler.size())) << "round " << round;
        }
    }
}

TEST_F(InfoCenterTest, GlobalValuesAreOfferedInKeyOrderWithEscapedText) {
    CInfoCenter info(path.c_str());
    RecordingServer server;
    info.InitService(&server);
    info.SynchroGlobalValue();
    EXPECT_TRUE(server.posted.empty());

    info.SetGlobalValue("schoolId", "s<1>");
    info.SetGlobalValue("area", "a&b");
    EXPECT_EQ("a&b", info.GetValue("area").ToStdString());  // the memory layer has it too
    ASSERT_EQ(2u, server.posted.size());
    server.posted.clear();
    info.SynchroGlobalValue();
    ASSERT_EQ(2u, server.posted.size());
    CXMLOpt first(server.posted[0].c_str());
    EXPECT_EQ("Portal", first.GetValue("OpS").ToStdString());
    EXPECT_EQ("InfoCenter", first.GetValue("OpT").ToStdString());
    EXPECT_EQ("SetValue", first.GetValue("OpC").ToStdString());
    EXPECT_EQ("area", first.GetValue("P.key").ToStdString());
    EXPECT_EQ("a&b", first.GetValue("P.value").ToStdString());
    CXMLOpt second(server.posted[1].c_str());
    EXPECT_EQ("s<1>", second.GetValue("P.value").ToStdString());
}

TEST_F(InfoCenterTest, SingletonLoadsTheNamedStoreAndReleaseStartsAfresh) {
    CInfoCenter::SetStoreFile("/conf/conf.xml", dir.path().c_str());
    CInfoCenter::Release();
    CInfoCenter* first = CInfoCenter::GetInst();
    EXPECT_EQ(first, CInfoCenter::GetInst());
    EXPECT_EQ(path, first->GetStorePath().ToStdString());
    EXPECT_EQ("1.0.0", first->GetLocalValue("version").ToStdString());
    first->SetValue("gone", "soon");
    CInfoCenter::Release();
    EXPECT_EQ("", CInfoCenter::GetInst()->GetValue("gone").ToStdString());
    CInfoCenter::Release();
    CInfoCenter::SetStoreFile(nullptr);
}

TEST_F(InfoCenterTest, ConcurrentUseOfAllLayersKeepsEveryLastValue) {
    CInfoCenter info(path.c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&info, t] {
            const std::string key = "k" + std::to_string(t);
            for (int i = 0; i <= 200; ++i) {
                info.SetValue(key.c_str(), std::to_string(i).c_str());
                info.GetValue("k0");
                if (i % 20 == 0)
                    info.SetLocalValue(key.c_str(), std::to_string(i).c_str());
                if (i % 50 == 0)
                    info.SetGlobalValue(key.c_str(), std::to_string(i).c_str());
                info.GetLocalValue("version");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t) {
        const std::string key = "k" + std::to_string(t);
        EXPECT_EQ("200", info.GetValue(key.c_str()).ToStdString());
        EXPECT_EQ("200", StoredValue(key.c_str()));
    }
}

}  // namespace
