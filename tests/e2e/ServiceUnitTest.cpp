// The systemd unit shipped in conf/: systemd accepts it as installed, and the service started
// exactly as the unit starts it (its ExecStart= line, the password in a 0600 credential file that
// becomes standard input and then ends) logs in, ends with a status the unit restarts on when the
// portal ends the login and the service's own re-login is off ("autoLogin" 0), logs in again when
// started anew, and logs out on the stop signal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CClientCommand.h"
#include "CRestartPause.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";

// The value of the first "Key=" line of the unit, or empty.
std::string Setting(const std::string& unit, const std::string& key) {
    std::smatch m;
    if (std::regex_search(unit, m, std::regex("(^|\n)" + key + "=([^\n]*)")))
        return m[2];
    return "";
}

// The words of a command line as systemd splits it (blanks outside quotes separate, quotes group),
// with the account variable and the credentials folder specifier filled in.
std::vector<std::string> CommandWords(const std::string& line, const std::string& account,
                                      const std::string& credentials) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0 && c == quote) {
            quote = 0;
        } else if (quote == 0 && (c == '\'' || c == '"')) {
            quote = c;
            inWord = true;
        } else if (quote == 0 && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    for (std::string& w : words) {
        w = std::regex_replace(w, std::regex(R"(\$\{ORVANE_ACCOUNT\})"), account);
        w = std::regex_replace(w, std::regex("%d"), credentials);
    }
    return words;
}

// Runs a program of the test's own choosing with its output in outPath; its exit status, or -1
// when it did not end within the limit (it is then killed).
int RunProgram(std::vector<std::string> argv, const std::string& outPath) {
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0)
            _exit(120);
        dup2(out, 1);
        dup2(out, 2);
        execvp(args[0], args.data());
        _exit(121);
    }
    int status = 0;
    const bool ended =
        pid > 0 && waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60s, 20ms);
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool OnPath(const std::string& program) {
    std::stringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');) {
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::string ProcFile(pid_t pid, const char* name) {
    return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

// Every value of "Key=" lines of the unit, in order.
std::vector<std::string> Settings(const std::string& unit, const std::string& key) {
    std::vector<std::string> values;
    const std::regex line("(^|\n)" + key + "=([^\n]*)");
    for (auto it = std::sregex_iterator(unit.begin(), unit.end(), line);
         it != std::sregex_iterator(); ++it)
        values.push_back((*it)[2]);
    return values;
}

// Both units, the headless one and the window's, which must never run beside it, in both
// layouts: as `cmake --install` lays them out, and as a package's build fills them.
struct UnitCase {
    const char* file;
    const char* conflicts;
    bool packaged;
};

void PrintTo(const UnitCase& c, std::ostream* out) {
    *out << c.file << (c.packaged ? " packaged" : "");
}

class ServiceUnitFileTest : public ::testing::TestWithParam<UnitCase> {
protected:
    // Writes the unit into prefix as the chosen layout's installation does; its path.
    std::string InstallUnit(const TempDir& prefix) {
        const UnitCase& c = GetParam();
        std::vector<std::string> command = {ORVANE_CMAKE,  "--install", ORVANE_BUILD_DIR,
                                            "--component", "unit",      "--prefix",
                                            prefix.path()};
        if (c.packaged) {
            const std::string source = std::string(ORVANE_UNIT_SCRIPT);
            command = {ORVANE_CMAKE,
                       "-DUNIT_SOURCE=" + source.substr(0, source.rfind('/') + 1) + c.file,
                       "-DUNIT_TARGET=" + prefix.file(c.file),
                       "-DORVANE_DIR=" + prefix.path(),
                       "-DORVANE_PACKAGE_LAYOUT=ON",
                       "-DORVANE_STATE_DIR=/var/lib/orvane",
                       "-P",
                       ORVANE_UNIT_SCRIPT};
        }
        EXPECT_EQ(0, RunProgram(command, prefix.file("install.out")))
            << readFile(prefix.file("install.out"));
        return prefix.file(c.file);
    }
};

TEST_P(ServiceUnitFileTest, InstalledNextToTheProgramsAndAcceptedBySystemd) {
    const UnitCase& c = GetParam();
    TempDir prefix;
    const std::string unitPath = InstallUnit(prefix);
    const std::string unit = readFile(unitPath);
    EXPECT_EQ(prefix.path(), Setting(unit, "WorkingDirectory"));
    if (std::string(c.file) == "orvane-window.service") {
        EXPECT_EQ(prefix.path() + "/OrvaneSvr", Setting(unit, "ExecStart"));
    }
    // A package's installation stays read-only; the service writes into its state folder.
    using Values = std::vector<std::string>;
    const Values writable = c.packaged
                                ? Values{"-/etc/resolv.conf -/run/resolvconf"}
                                : Values{"-/etc/resolv.conf -/run/resolvconf", prefix.path()};
    EXPECT_EQ(writable, Settings(unit, "ReadWritePaths"));
    EXPECT_EQ(c.packaged ? Values{"orvane"} : Values{}, Settings(unit, "StateDirectory"));
    EXPECT_EQ(c.packaged ? Values{"0700"} : Values{}, Settings(unit, "StateDirectoryMode"));
    // Restarts never run out, whatever the outage; the service itself makes the pause grow.
    EXPECT_EQ(Values{"0"}, Settings(unit, "StartLimitIntervalSec"));
    EXPECT_EQ(Values{}, Settings(unit, "StartLimitBurst"));
    EXPECT_EQ(Values{"on-failure"}, Settings(unit, "Restart"));
    const Values pause = {std::to_string(CRestartPause::kUnitPause) + "s"};
    EXPECT_EQ(pause, Settings(unit, "RestartSec"));
    // "@system-service" is a group of system calls, not a placeholder.
    EXPECT_FALSE(std::regex_search(unit, std::regex("@[A-Z_]+@")))
        << "a placeholder was left unfilled";
    // The window's users reach either service through the same runtime folder.
    EXPECT_EQ("orvane", Setting(unit, "RuntimeDirectory"));
    EXPECT_EQ("0770", Setting(unit, "RuntimeDirectoryMode"));
    EXPECT_EQ(c.conflicts, Setting(unit, "Conflicts"));

    if (!OnPath("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed: the unit was not verified";
    // systemd checks that the program a unit starts is there; the full installation puts it.
    ASSERT_TRUE(writeFile(prefix.file("OrvaneSvr"), "#!/bin/sh\n"));
    ASSERT_EQ(0, chmod(prefix.file("OrvaneSvr").c_str(), 0755));
    // Problems that systemd only warns about still come with status 0, so any output counts. The
    // manual pages named in Documentation= come with the package and are checked there.
    const int status =
        RunProgram({"systemd-analyze", "verify", "--man=no", unitPath}, prefix.file("verify.out"));
    EXPECT_EQ(0, status);
    EXPECT_EQ("", readFile(prefix.file("verify.out")));
}

INSTANTIATE_TEST_SUITE_P(
    Units, ServiceUnitFileTest,
    ::testing::Values(UnitCase{"orvane.service", "orvane-window.service", false},
                      UnitCase{"orvane-window.service", "orvane.service", false},
                      UnitCase{"orvane.service", "orvane-window.service", true},
                      UnitCase{"orvane-window.service", "orvane.service", true}),
    [](const ::testing::TestParamInfo<UnitCase>& info) {
        return std::string(info.index % 2 == 0 ? "headless" : "window") +
               (info.param.packaged ? "Packaged" : "");
    });

class ServiceUnitTest : public E2eTest {
protected:
    // Starts the service in the namespace as the unit's ExecStart= line does.
    bool StartAsTheUnit(NsProcess& process, const std::string& tag) {
        const std::string unit = readFile(ORVANE_UNIT_SOURCE);
        const std::vector<std::string> argv =
            CommandWords(Setting(unit, "ExecStart"), E2eWorld::kUser, Credentials());
        return !argv.empty() && process.Start(world->ns().name(), world->Install(), argv,
                                              world->dir().file(tag + ".out"), false);
    }
    // The folder systemd makes for the service's credentials, with the password file in it.
    std::string Credentials() const { return world->dir().file("credentials"); }
    void MakeCredentials() {
        ASSERT_EQ(0, mkdir(Credentials().c_str(), 0700));
        const std::string file = Credentials() + "/password";
        ASSERT_TRUE(writeFile(file, std::string(E2eWorld::kPassword) + "\n"));
        ASSERT_EQ(0, chmod(file.c_str(), 0600));
    }
    bool OutputHas(NsProcess& process, const std::string& text) {
        return waitFor([&] { return process.Output().find(text) != std::string::npos; }, 30s, 20ms);
    }
};

TEST_F(ServiceUnitTest, LogsInAgainWhenRestartedAfterThePortalEndsTheLoginAndOutOnStop) {
    E2eOptions options;
    options.storeExtra = "<autoLogin>0</autoLogin>";
    E2E_WORLD(options);
    MakeCredentials();
    const std::string unit = readFile(ORVANE_UNIT_SOURCE);

    NsProcess first;
    ASSERT_TRUE(StartAsTheUnit(first, "first"));
    ASSERT_TRUE(OutputHas(first, kPrompt)) << first.Output();
    ASSERT_EQ(1u, world->Count("auth"));
    EXPECT_EQ(E2eWorld::kPassword, E2eWorld::Field(world->Requests("auth")[0], "fields", "passwd"));
    const std::string cmdline = ProcFile(first.pid(), "cmdline");
    // The shell has replaced itself with the service (its arguments are wiped once taken).
    EXPECT_EQ(0u, cmdline.find(std::string("./OrvaneSvr\0", 12))) << cmdline;
    EXPECT_EQ(std::string::npos, cmdline.find(E2eWorld::kPassword));
    const std::string environ = ProcFile(first.pid(), "environ");
    EXPECT_FALSE(environ.empty());
    EXPECT_EQ(std::string::npos, environ.find(E2eWorld::kPassword));

    // Standard input is at its end now; the login stays.
    const size_t keeps = world->Count("keep");
    ASSERT_TRUE(world->WaitForRequests("keep", keeps + 2, 10s));
    EXPECT_TRUE(first.running());
    EXPECT_EQ(0u, world->Count("term"));

    ASSERT_TRUE(world->SimControl("end-login\n"));
    const int status = first.Wait(20s);
    EXPECT_EQ(CClientCommand::kExitPortalEnded, status) << first.Output();
    // The unit starts the service again on this status.
    EXPECT_EQ("on-failure", Setting(unit, "Restart"));
    std::stringstream prevented(Setting(unit, "RestartPreventExitStatus"));
    std::vector<std::string> words;
    for (std::string word; prevented >> word;)
        words.push_back(word);
    EXPECT_EQ(words.end(), std::find(words.begin(), words.end(), std::to_string(status)));
    // A refused password is never tried again by the unit.
    EXPECT_NE(words.end(), std::find(words.begin(), words.end(),
                                     std::to_string(CClientCommand::kExitLoginFailed)));

    NsProcess second;
    ASSERT_TRUE(StartAsTheUnit(second, "second"));
    ASSERT_TRUE(OutputHas(second, kPrompt)) << second.Output();
    EXPECT_EQ(2u, world->Count("auth"));

    EXPECT_EQ(0, second.Stop(30s)) << second.Output();
    ASSERT_EQ(1u, world->Count("term"));
    EXPECT_EQ("7", E2eWorld::Field(world->Requests("term")[0], "fields", "reason"));
    EXPECT_EQ("", sanitizerFindings(first.Output() + second.Output()));
}

// The service of a package's layout, started in its installation as the unit starts it: it makes
// and seeds its state folder and writes only there, logs in through the module helper it runs
// from the installation, and at the next start takes a newer shipped version into its store.
class PackagedServiceTest : public ServiceUnitTest {
protected:
    void TearDown() override {
        ServiceUnitTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(ORVANE_TEST_STATE_DIR, ec);
    }
};

TEST_F(PackagedServiceTest, WritesOnlyIntoItsStateFolderAndTakesANewerShippedVersion) {
    std::error_code ec;
    std::filesystem::remove_all(ORVANE_TEST_STATE_DIR, ec);
    E2eOptions options;
    options.serviceProgram = ORVANE_SVR_PACKAGED;
    options.stateDir = ORVANE_TEST_STATE_DIR;
    E2E_WORLD(options);
    const std::string shipped = readFile(world->InstallFile("conf/conf.xml"));
    const std::string probe = world->SimUrl("/forward.cgi");

    NsProcess first;
    ASSERT_TRUE(first.Start(world->ns().name(), world->Install(),
                            {"./OrvaneSvr", E2eWorld::kUser, E2eWorld::kPassword},
                            world->dir().file("first.out"), true));
    ASSERT_TRUE(OutputHas(first, kPrompt)) << first.Output();
    struct stat st;
    ASSERT_EQ(0, lstat(ORVANE_TEST_STATE_DIR, &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_TRUE(world->LogHas("OrvaneSvr started", 5s));
    // The helper ran from the installation, on the container seeded into the state folder.
    EXPECT_EQ(std::string::npos, world->LogText().find("not loaded")) << world->LogText();
    EXPECT_EQ(std::to_string(first.pid()) + "\n", world->StoreValue("PID"));
    EXPECT_EQ(probe, world->StoreValue("redirect"));
    EXPECT_EQ(readFile(world->InstallFile("zuvUzarod.zxm")),
              readFile(world->WrittenFile("zuvUzarod.zxm")));
    // The installation is as it was laid out.
    EXPECT_EQ(shipped, readFile(world->InstallFile("conf/conf.xml")));
    for (const char* written : {"Log", "serverpipe", "clientpipe"})
        EXPECT_FALSE(std::filesystem::exists(world->InstallFile(written))) << written;
    EXPECT_EQ(0, first.Stop(30s)) << first.Output();
    ASSERT_EQ(1u, world->Count("term"));
    EXPECT_EQ("7", E2eWorld::Field(world->Requests("term")[0], "fields", "reason"));

    // A package upgrade ships a newer store; the service's own keeps everything else.
    const std::string version = "<version>" + world->StoreValue("version") + "</version>";
    std::string upgraded = shipped;
    ASSERT_NE(std::string::npos, upgraded.find(version)) << upgraded;
    upgraded.replace(upgraded.find(version), version.size(), "<version>987654</version>");
    ASSERT_TRUE(writeFile(world->InstallFile("conf/conf.xml"), upgraded));
    NsProcess second;
    ASSERT_TRUE(second.Start(world->ns().name(), world->Install(),
                             {"./OrvaneSvr", E2eWorld::kUser, E2eWorld::kPassword},
                             world->dir().file("second.out"), true));
    ASSERT_TRUE(OutputHas(second, kPrompt)) << second.Output();
    EXPECT_EQ("987654", world->StoreValue("version"));
    EXPECT_EQ(probe, world->StoreValue("redirect"));
    EXPECT_EQ(0, second.Stop(30s)) << second.Output();
    EXPECT_EQ("", sanitizerFindings(first.Output() + second.Output()));
}
