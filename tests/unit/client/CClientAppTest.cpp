// Start-up steps of the client: the private store, the single-instance test against a recorded
// process id, and the service started without a shell, detached from the client.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "CClientApp.h"
#include "CDetachedProcess.h"
#include "CInfoCenter.h"
#include "TestSupport.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

TEST(ClientStoreTest, IsCreatedOrMadePrivateAndNeverFollowedElsewhere) {
    TempDir dir;
    const std::string fresh = dir.file("fresh.xml");
    ASSERT_TRUE(CClientApp::PrepareStore(fresh.c_str()));
    EXPECT_EQ(0600u, ModeOf(fresh));
    // The new store is one the information center can keep values in.
    CInfoCenter info(fresh.c_str());
    EXPECT_TRUE(info.SetLocalValue("Account", "a"));
    EXPECT_EQ(0600u, ModeOf(fresh));

    const std::string loose = dir.file("loose.xml");
    ASSERT_TRUE(writeFile(loose, "<conf><Password>x</Password></conf>"));
    chmod(loose.c_str(), 0664);
    EXPECT_TRUE(CClientApp::PrepareStore(loose.c_str()));
    EXPECT_EQ(0600u, ModeOf(loose));
    EXPECT_EQ("<conf><Password>x</Password></conf>", readFile(loose));

    // A link planted in place of the store is refused, and its target left as it was.
    const std::string target = dir.file("elsewhere");
    ASSERT_TRUE(writeFile(target, "other"));
    chmod(target.c_str(), 0644);
    const std::string link = dir.file("link.xml");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    EXPECT_FALSE(CClientApp::PrepareStore(link.c_str()));
    EXPECT_EQ(0644u, ModeOf(target));
    EXPECT_EQ("other", readFile(target));
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeFile(store, "<?xml version=\"1.0\"?>\n<conf>\n</conf>\n"));
        info = std::make_unique<CInfoCenter>(store.c_str());
    }
    void TearDown() override {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // A live process running this same program (a fork), or another program (sleep).
    pid_t SameProgram() {
        const pid_t pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        children.push_back(pid);
        return pid;
    }
    pid_t OtherProgram() {
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        children.push_back(pid);
        // The exec has happened once the process no longer runs this program.
        waitFor([&] { return readFile("/proc/" + std::to_string(pid) + "/comm") == "sleep\n"; },
                5s);
        return pid;
    }
    bool StartsWith(const std::string& recorded) {
        info->SetLocalValue("ClientPID", recorded.c_str());
        return CClientApp::StartSingle(info.get());
    }
    std::string Mine() const { return std::to_string(getpid()) + "\n"; }

    TempDir dir;
    std::string store = dir.file("client.xml");
    std::unique_ptr<CInfoCenter> info;
    std::vector<pid_t> children;
};

TEST_F(SingleInstanceTest, OnlyALiveClientBlocksTheStart) {
    const pid_t running = SameProgram();
    EXPECT_FALSE(StartsWith(std::to_string(running) + "\n"));
    // The running client's record stays.
    EXPECT_EQ(std::to_string(running) + "\n", info->GetLocalValue("ClientPID").ToStdString());

    // A recorded id now used by another program, a dead id, garbage and ids that would probe
    // process groups are all stale: the client starts and records itself.
    const pid_t other = OtherProgram();
    pid_t dead = SameProgram();
    kill(dead, SIGKILL);
    waitpid(dead, nullptr, 0);
    children.pop_back();
    for (const std::string& stale :
         {std::to_string(other) + "\n", std::to_string(dead) + "\n", std::string("abc"),
          std::string("0\n"), std::string("-1\n"), std::string("")}) {
        EXPECT_TRUE(StartsWith(stale)) << "recorded '" << stale << "'";
        EXPECT_EQ(Mine(), info->GetLocalValue("ClientPID").ToStdString());
    }
    // Its own id (a client restarted under the same number) does not block either.
    EXPECT_TRUE(StartsWith(Mine()));
    // Reread from the file: the record survives the process.
    CInfoCenter reread(store.c_str());
    EXPECT_EQ(Mine(), reread.GetLocalValue("ClientPID").ToStdString());
}

TEST(LaunchServiceTest, StartsTheProgramDetachedWithoutAShell) {
    TempDir dir;
    // A stand-in service that writes down how it was started.
    const std::string program = dir.file("svc dir;echo x");
    ASSERT_EQ(0, mkdir(program.c_str(), 0700));
    const std::string script = program + "/OrvaneSvr";
    ASSERT_TRUE(writeFile(script,
                          "#!/bin/sh\n"
                          "read -r pid comm state ppid pgrp session rest < /proc/$$/stat\n"
                          "printf '%s %s %s %s\\n' \"$$\" \"$session\" \"$(umask)\" "
                          "\"$(readlink /proc/$$/fd/0)\" > \"$(dirname \"$0\")/started.tmp\"\n"
                          "mv \"$(dirname \"$0\")/started.tmp\" \"$(dirname \"$0\")/started\"\n"));
    chmod(script.c_str(), 0700);

    EXPECT_EQ(0, CClientApp::LaunchService(script.c_str(), 0022));
    const std::string started = program + "/started";
    ASSERT_TRUE(waitFor([&] { return !readFile(started).empty(); }, 5s));
    std::istringstream fields(readFile(started));
    long pid = 0, session = 0;
    std::string mask, input;
    fields >> pid >> session >> mask >> input;
    // A session of its own (not the test's), the umask it was given, no terminal input.
    EXPECT_NE(getsid(0), session);
    EXPECT_NE(pid, session);  // the session leader was the middle process, now gone
    EXPECT_EQ("0022", mask);
    EXPECT_EQ("/dev/null", input);

    // A program that cannot be started is reported, not printed as started.
    EXPECT_EQ(-1, CClientApp::LaunchService(dir.file("missing").c_str(), 0022));
    const std::string plain = dir.file("not-executable");
    ASSERT_TRUE(writeFile(plain, "#!/bin/sh\n"));
    EXPECT_EQ(-1, CClientApp::LaunchService(plain.c_str(), 0022));
}

// pkexec asks the authority about its parent and refuses an orphan: the process that starts it
// stays its parent until it ends, while the caller does not wait for either.
TEST(DetachedProcessTest, ParentThatStaysWaitsForTheProgramAndNotTheCaller) {
    TempDir dir;
    const std::string script = dir.file("installer");
    ASSERT_TRUE(writeFile(script,
                          "#!/bin/sh\n"
                          "read -r pid comm state ppid rest < /proc/$$/stat\n"
                          "echo \"$ppid\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.parent\"\n"
                          "i=0; while [ ! -e \"$0.go\" ] && [ $i -lt 200 ]; do sleep 0.05; "
                          "i=$((i+1)); done\n"));
    chmod(script.c_str(), 0700);
    ASSERT_EQ(0, CDetachedProcess::Start({script}, "", CDetachedProcess::kKeepUmask, true));
    ASSERT_TRUE(waitFor([&] { return !readFile(script + ".parent").empty(); }, 5s));
    const pid_t parent = std::atoi(readFile(script + ".parent").c_str());
    EXPECT_NE(getpid(), parent);
    // Still there while the program runs, in a session of its own.
    EXPECT_EQ(0, waitpid(parent, nullptr, WNOHANG));
    EXPECT_NE(getsid(0), getsid(parent));
    ASSERT_TRUE(writeFile(script + ".go", ""));
    EXPECT_TRUE(waitFor([&] { return waitpid(parent, nullptr, WNOHANG) == parent; }, 10s));
    // A program that cannot be started is still reported.
    EXPECT_EQ(ENOENT, CDetachedProcess::Start({dir.file("missing")}, "",
                                              CDetachedProcess::kKeepUmask, true));
}

}  // namespace

// The client starts the root service from its folder: a program there that others could replace
// or a link in its place must stop it before it starts anything.
TEST(ClientInstallationTest, ProgramsAndFoldersOthersCanChangeAreRefused) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("conf").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir.file("conf/client.xml"), "<conf/>"));
    ASSERT_TRUE(writeFile(dir.file("OrvaneSvr"), "#!/bin/sh\n"));
    ASSERT_EQ(chmod(dir.file("OrvaneSvr").c_str(), 0755), 0);
    testing::internal::CaptureStdout();
    const bool safe = CClientApp::CheckInstallation(dir.path());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(safe);

    ASSERT_EQ(chmod(dir.file("OrvaneSvr").c_str(), 0757), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CClientApp::CheckInstallation(dir.path()));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(dir.file("OrvaneSvr") +
                                                          " is writable by group or others"),
              std::string::npos);

    ASSERT_EQ(unlink(dir.file("OrvaneSvr").c_str()), 0);
    ASSERT_EQ(symlink("/bin/true", dir.file("OrvaneSvr").c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CClientApp::CheckInstallation(dir.path()));
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find(dir.file("OrvaneSvr") + " is a symbolic link"),
        std::string::npos);
    EXPECT_EQ(readFile(dir.file("conf/client.xml")), "<conf/>");
}
