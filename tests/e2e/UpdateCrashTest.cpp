// The client's update run killed with SIGKILL: the update code runs in a child process against
// portal-sim's update server and is killed at random moments (seeded, ORVANE_CRASH_SEED replays a
// sequence, ORVANE_CRASH_ROUNDS sets the number of rounds). After every kill the client's store
// parses with no key lost and the download folder never offers the next start a hand-over to an
// incomplete download or a partial installer; the next run completes the download.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>

#include "CAutoUpdate.h"
#include "CDownloadList.h"
#include "CInfoCenter.h"
#include "CPackageSignature.h"
#include "PortalSimProcess.h"
#include "StoreCheck.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace orvane_test;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

std::string RandomBytes(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xff);
    return bytes;
}

// One update run of the client in a child process; SIGKILLed and reaped when the object dies.
class UpdateRun {
public:
    explicit UpdateRun(const std::string& inst) {
        m_pid = fork();
        if (m_pid == 0)
            _exit(CAutoUpdate(inst.c_str()).RunUpdate() == 0 ? 0 : 1);
    }
    ~UpdateRun() { Kill(); }
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    bool started() const { return m_pid > 0; }
    void Kill() {
        if (m_pid <= 0 || m_reaped)
            return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_reaped = true;
    }
    // The run's exit status once it ended within timeout, else -1.
    int Wait(std::chrono::milliseconds timeout) {
        int status = 0;
        waitFor([&] { return m_reaped || (m_reaped = waitpid(m_pid, &status, WNOHANG) == m_pid); },
                timeout, 5ms);
        return m_reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

class UpdateCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        const unsigned long seed = EnvNumber("ORVANE_CRASH_SEED", std::random_device{}());
        m_random.seed(seed);
        std::cout << "seed " << seed << " (ORVANE_CRASH_SEED=" << seed << " replays it)"
                  << std::endl;
        m_inst = m_root.file("inst");
        m_down = m_inst + "/Quorra/AutoSetupAuth/";
        fs::create_directories(m_inst + "/conf");
        writeFile(m_inst + "/conf/conf.xml", "<conf><version>2.1.0</version></conf>");
        writeFile(m_inst + "/conf/client.xml",
                  "<conf><Account>me</Account><ClientPID>1</ClientPID></conf>");
        fs::copy_file(ORVANE_AUTOUPDATE, m_inst + "/AutoUpdate");
        m_installer = readFile(m_inst + "/AutoUpdate");
        // The update downloads nothing while no release key is installed.
        std::string error;
        ASSERT_TRUE(CPackageSignature::GenerateKeyPair(m_root.file("release.key"),
                                                       m_inst + "/conf/release.pub", error))
            << error;
        CInfoCenter::SetStoreFile("/conf/client.xml", m_inst.c_str());
        CInfoCenter::Release();
        storeKeys(m_inst + "/conf/client.xml", m_clientKeys);
    }
    void TearDown() override { CInfoCenter::Release(); }

    // Serves two packages of random bytes and points the update at the simulator.
    void StartSim() {
        m_packages = {{"one", RandomBytes(m_random, 3 << 20)},
                      {"two", RandomBytes(m_random, 1 << 20)}};
        std::vector<std::string> args;
        for (const auto& [name, bytes] : m_packages) {
            writeFile(m_root.file(name + ".pkg"), bytes);
            args.insert(args.end(), {"--update-package", name + "=" + m_root.file(name + ".pkg")});
        }
        m_sim = std::make_unique<SimProcess>(m_simDir, args);
        ASSERT_GT(m_sim->Port(), 0) << "simulator did not start";
        CInfoCenter* info = CInfoCenter::GetInst();
        info->SetValue("FUN_Update", m_sim->Url("/update").c_str());
        info->SetValue("version", "2.1.0");
        info->SetValue("clientId", "id-42");
    }

    // What the next client start would find: a hand-over only to a complete download and a
    // whole installer. Empty when that holds.
    std::string HandOverDamage() {
        if (!fs::exists(m_down + "AutoUpdate"))
            return "";
        if (readFile(m_down + "AutoUpdate") != m_installer)
            return "the installer in the download folder is not whole";
        if (CDownloadList((m_down + "update.xml").c_str()).Check() != CDownloadList::LIST_COMPLETE)
            return "";
        for (const auto& [name, bytes] : m_packages) {
            if (readFile(m_down + name + ".tar.gz") != bytes)
                return "package " + name + " counts as downloaded but is not whole";
        }
        return "";
    }
    bool DownloadComplete() {
        for (const auto& [name, bytes] : m_packages) {
            if (readFile(m_down + name + ".tar.gz") != bytes)
                return false;
        }
        return readFile(m_down + "AutoUpdate") == m_installer;
    }

    TempDir m_root, m_simDir;
    std::string m_inst, m_down, m_installer;
    std::set<std::string> m_clientKeys;
    std::map<std::string, std::string> m_packages;
    std::unique_ptr<SimProcess> m_sim;
    std::mt19937 m_random;
};

}  // namespace

TEST_F(UpdateCrashTest, KilledAtRandomMomentsTheNextRunCompletes) {
    StartSim();
    if (HasFatalFailure())
        return;
    // The length of an undisturbed run bounds the kill moments.
    const auto began = std::chrono::steady_clock::now();
    {
        UpdateRun run(m_inst);
        ASSERT_EQ(0, run.Wait(60s));
    }
    const auto full = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - began);
    ASSERT_TRUE(DownloadComplete());

    const unsigned long rounds = EnvNumber("ORVANE_CRASH_ROUNDS", 20);
    for (unsigned long round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Every other round starts from an empty folder, so downloads are killed too.
        if (round % 2 == 0)
            fs::remove_all(m_down);
        const long most = full.count() * 5 / 4;
        const std::chrono::microseconds delay(
            std::uniform_int_distribution<long>(0, most)(m_random));
        {
            UpdateRun run(m_inst);
            ASSERT_TRUE(run.started());
            std::this_thread::sleep_for(delay);
            run.Kill();
        }
        EXPECT_EQ("", storeDamage(m_inst + "/conf/client.xml", m_clientKeys));
        EXPECT_EQ("", HandOverDamage());
        // The next run picks up what the killed one left and completes.
        UpdateRun next(m_inst);
        ASSERT_EQ(0, next.Wait(60s));
        EXPECT_TRUE(DownloadComplete());
    }
    std::cout << rounds << " update runs killed within " << full.count() / 1000
              << " ms of their start" << std::endl;
}

// The installer copy is held half-way (its source is a FIFO fed by the test) when the client is
// killed: the next start must not find a partial installer to hand over to.
TEST_F(UpdateCrashTest, KilledWhileCopyingTheInstallerLeavesNoPartialInstaller) {
    StartSim();
    if (HasFatalFailure())
        return;
    const std::string source = m_inst + "/AutoUpdate";
    fs::remove(source);
    ASSERT_EQ(0, mkfifo(source.c_str(), 0700));
    {
        UpdateRun run(m_inst);
        ASSERT_TRUE(run.started());
        int feed = -1;
        ASSERT_TRUE(waitFor(
            [&] { return (feed = open(source.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
            60s, 5ms))
            << "the run never started copying the installer";
        fcntl(feed, F_SETFL, 0);  // blocking: the write returns once the copy has taken it
        const size_t half = m_installer.size() / 2;
        ASSERT_EQ(static_cast<ssize_t>(half), write(feed, m_installer.data(), half));
        auto copied = [&] {
            for (const auto& e : fs::directory_iterator(m_down)) {
                if (e.path().filename().string().rfind("AutoUpdate", 0) == 0 &&
                    e.is_regular_file() && e.file_size() == half)
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(waitFor(copied, 10s)) << "the first half never reached the download folder";
        run.Kill();
        close(feed);
    }
    EXPECT_EQ("", HandOverDamage());
    EXPECT_FALSE(CAutoUpdate(m_inst.c_str()).CheckInstall());

    // With the installer back, the next run puts it in place whole.
    fs::remove(source);
    writeFile(source, m_installer);
    chmod(source.c_str(), 0755);
    UpdateRun next(m_inst);
    ASSERT_EQ(0, next.Wait(60s));
    EXPECT_TRUE(DownloadComplete());
}
