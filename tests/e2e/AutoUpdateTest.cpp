// Automatic update against portal-sim's update server, and the installer it hands over to: the
// query, the download list, resumed downloads, the hand-over at the next start, and the installer
// installing a signed package or refusing a doubtful one with the installation unchanged.
//
// Every installation lives in a folder whose name holds a blank, beside a folder named like its
// first word, so a command split at the blank would hit the neighbour.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CAutoUpdate.h"
#include "CCurlHttp.h"
#include "CDownloadList.h"
#include "CHandOverCheck.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "CPackageInstaller.h"
#include "CPackageSignature.h"
#include "CProcessLauncher.h"
#include "PortalSimProcess.h"
#include "TestSupport.h"
#include "TlsTestServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using orvane_test::readFile;
using orvane_test::removeGroupOtherWrite;
using orvane_test::SimProcess;
using orvane_test::TempDir;
using orvane_test::waitFor;
using orvane_test::writeFile;

const std::string kTar = access("/bin/tar", X_OK) == 0 ? "/bin/tar" : "/usr/bin/tar";
// The fixture's installation says version 2100 in conf/conf.xml.
constexpr uint64_t kInstalled = 2100;
constexpr uint64_t kNewer = 3000;

// Every file below dir (but the download and log folders) with the hash of its bytes and its mode.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    // The installer's staging folder may still be going away while this walks.
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir).string();
        if (rel == "Quorra" || rel == "Log" || rel.rfind(".update-", 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st;
        lstat(it->path().c_str(), &st);
        files[rel] =
            std::to_string(st.st_mode) + ":" +
            (S_ISREG(st.st_mode) ? CPackageSignature::Md5Hex(readFile(it->path().string())) : "");
    }
    EXPECT_FALSE(ec) << dir << ": " << ec.message();
    return files;
}

class AutoUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_root.file("inst"));
        writeFile(m_root.file("inst/neighbour.txt"), "keep me");
        m_inst = m_root.file("inst dir");
        m_down = m_inst + "/Quorra/AutoSetupAuth/";
        fs::create_directories(m_inst + "/conf");
        fs::create_directories(m_inst + "/data");
        writeFile(m_inst + "/conf/conf.xml", "<conf><version>2100</version></conf>");
        writeFile(m_inst + "/conf/client.xml", "<conf><Account>me</Account></conf>");
        writeFile(m_inst + "/data/readme.txt", "old text");
        fs::copy_file(ORVANE_AUTOUPDATE, m_inst + "/AutoUpdate");
        WriteClient(m_inst + "/client", "old", 0);
        std::string error;
        ASSERT_TRUE(CPackageSignature::GenerateKeyPair(m_root.file("release.key"),
                                                       m_inst + "/conf/release.pub", error))
            << error;
        CInfoCenter::SetStoreFile("/conf/client.xml", m_inst.c_str());
        CInfoCenter::Release();
        removeGroupOtherWrite(m_inst);  // the installer refuses anything else
    }
    void TearDown() override { CInfoCenter::Release(); }

    // A stand-in client that notes its name in the marker file, then exits with status.
    void WriteClient(const std::string& path, const std::string& name, int status) {
        writeFile(path, "#!/bin/sh\necho " + name + " >> '" + m_root.file("started") + "'\nexit " +
                            std::to_string(status) + "\n");
        chmod(path.c_str(), 0755);
    }
    std::string Started() { return readFile(m_root.file("started")); }

    // A package holding files (relative path -> content), signed with the release key (or key,
    // or "unsigned") as version, which is newer than the installed one unless a test says.
    std::string MakePackage(const std::map<std::string, std::string>& files,
                            const std::string& key = "", uint64_t version = kNewer) {
        const std::string tree = m_root.file("tree-" + std::to_string(m_made++));
        for (const auto& [rel, content] : files) {
            fs::create_directories(fs::path(tree + "/" + rel).parent_path());
            writeFile(tree + "/" + rel, content);
            if (rel == "client")
                chmod((tree + "/" + rel).c_str(), 0755);
        }
        const std::string tgz = tree + ".tar.gz";
        EXPECT_EQ(0, CProcessLauncher::Run({kTar, "-czf", tgz, "-C", tree, "."}, tree));
        if (key == "unsigned")
            return readFile(tgz);
        std::string signedPackage, error;
        EXPECT_TRUE(CPackageSignature::Sign(key.empty() ? m_root.file("release.key") : key,
                                            readFile(tgz), version, signedPackage, error))
            << error;
        return signedPackage;
    }
    std::string SaveAs(const std::string& name, const std::string& data) {
        const std::string path = m_root.file(name);
        writeFile(path, data);
        return path;
    }

    SimProcess& StartSim(std::vector<std::string> extra) {
        m_sim = std::make_unique<SimProcess>(m_simDir, std::move(extra));
        EXPECT_GT(m_sim->Port(), 0) << "simulator did not start";
        return *m_sim;
    }
    void UseUpdateValue(const std::string& value) {
        CInfoCenter* info = CInfoCenter::GetInst();
        info->SetValue("FUN_Update", value.c_str());
        info->SetValue("version", "2.1.0");
        info->SetValue("clientId", "id-42");
        info->SetValue("account", "stu dent&x=1");
        info->SetValue("schoolId", "s#1");
    }
    std::vector<cJSON*> Records(const std::string& kind) {
        std::vector<cJSON*> out;
        for (cJSON* rec : m_sim->Log()) {
            if (SimProcess::Str(rec, "kind") == kind)
                out.push_back(rec);
        }
        return out;
    }
    // Runs the installer as the client would, from the download folder; its exit status.
    int RunInstaller() {
        return RunInstaller(CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().ToStdString());
    }
    int RunInstaller(const std::string& argument) {
        return CProcessLauncher::Run({m_down + "AutoUpdate", argument}, m_down);
    }
    bool HandOverLeft() {
        return CDownloadList((m_down + "update.xml").c_str()).Check() ==
               CDownloadList::LIST_COMPLETE;
    }
    // Puts a downloaded package and its list into the download folder, as a complete run leaves.
    void PlaceDownload(const std::string& data, const std::string& md5, size_t size) {
        fs::create_directories(m_down);
        writeFile(m_down + "app.tar.gz", data);
        writeFile(m_down + "install.xml", "<response/>");
        writeFile(m_down + "update.xml", "<update><item name=\"app\" md5=\"" + md5 + "\" size=\"" +
                                             std::to_string(size) + "\" state=\"2\">" + m_down +
                                             "app.tar.gz</item></update>");
        fs::copy_file(m_inst + "/AutoUpdate", m_down + "AutoUpdate");
    }

    TempDir m_root, m_simDir;
    std::string m_inst, m_down;
    std::unique_ptr<SimProcess> m_sim;
    int m_made = 0;
};

TEST_F(AutoUpdateTest, QueryTakesEitherUpdateValueFormAndEncodesItsValues) {
    SimProcess& sim = StartSim({});
    CAutoUpdate update(m_inst.c_str());
    UseUpdateValue("<Update url=\"" + sim.Url("/update") + "\" enable=\"1\"/>");
    EXPECT_EQ(0, update.RunUpdate());
    UseUpdateValue(sim.Url("/update"));
    EXPECT_EQ(0, update.RunUpdate());

    const auto queries = Records("update");
    ASSERT_EQ(2u, queries.size());
    for (cJSON* q : queries) {
        EXPECT_EQ("(auto)", SimProcess::Str(q, "query", "keyword"));
        EXPECT_EQ("2.1.0", SimProcess::Str(q, "query", "version"));
        EXPECT_EQ("id-42", SimProcess::Str(q, "query", "clientid"));
        EXPECT_EQ("stu dent&x=1", SimProcess::Str(q, "query", "dialaccount"));
        EXPECT_EQ("s#1", SimProcess::Str(q, "query", "cid"));
    }
    EXPECT_NE(std::string::npos, update.LastAnswer().ToStdString().find("<pkgxmls>"));

    // Without an address every attempt fails at once and nothing is asked.
    UseUpdateValue("");
    EXPECT_EQ(0, update.RunUpdate());
    EXPECT_EQ(2u, Records("update").size());
}

TEST_F(AutoUpdateTest, AnswerWithoutPackageListEmptiesTheDownloadFolderOnly) {
    SimProcess& sim = StartSim({"--update-no-list"});
    fs::create_directories(m_down + "old");
    for (const char* name : {"update.xml", "install.xml", "app.tar.gz", "AutoUpdate", "old/x.y"})
        writeFile(m_down + name, "stale");
    UseUpdateValue(sim.Url("/update"));
    const auto before = Snapshot(m_inst);

    EXPECT_EQ(0, CAutoUpdate(m_inst.c_str()).RunUpdate());
    EXPECT_TRUE(fs::is_empty(m_down));
    EXPECT_EQ(before, Snapshot(m_inst));
    EXPECT_EQ("keep me", readFile(m_root.file("inst/neighbour.txt")));
    EXPECT_FALSE(CAutoUpdate(m_inst.c_str()).CheckInstall());
}

TEST_F(AutoUpdateTest, TwoPackagesDownloadOneResumedThenTheInstallerIsCopiedIn) {
    const std::string first = MakePackage({{"data/a.txt", std::string(3000, 'a')}});
    const std::string second = MakePackage({{"data/b.txt", std::string(5000, 'b')}});
    SimProcess& sim = StartSim({"--update-package", "one=" + SaveAs("one.pkg", first),
                                "--update-package", "two=" + SaveAs("two.pkg", second)});
    fs::create_directories(m_down);
    writeFile(m_down + "two.tar.gz", second.substr(0, 100));
    UseUpdateValue(sim.Url("/update"));

    CAutoUpdate update(m_inst.c_str());
    EXPECT_EQ(0, update.RunUpdate());
    EXPECT_EQ(first, readFile(m_down + "one.tar.gz"));
    EXPECT_EQ(second, readFile(m_down + "two.tar.gz"));
    std::vector<std::string> ranges;
    for (cJSON* rec : Records("download"))
        ranges.push_back(SimProcess::Str(rec, "range"));
    EXPECT_EQ((std::vector<std::string>{"", "bytes=100-"}), ranges);

    const std::string list = readFile(m_down + "update.xml");
    EXPECT_NE(std::string::npos, list.find("state=\"2\">" + m_down + "one.tar.gz</item>")) << list;
    EXPECT_NE(std::string::npos, list.find("state=\"2\">" + m_down + "two.tar.gz</item>")) << list;
    EXPECT_NE(std::string::npos, list.find(CPackageSignature::Md5Hex(second))) << list;
    EXPECT_EQ(readFile(m_inst + "/AutoUpdate"), readFile(m_down + "AutoUpdate"));

    // A later run starts a fresh list; packages already whole count as downloaded again.
    fs::remove(m_down + "AutoUpdate");
    EXPECT_EQ(0, update.RunUpdate());
    EXPECT_EQ(second, readFile(m_down + "two.tar.gz"));
    EXPECT_TRUE(fs::exists(m_down + "AutoUpdate"));
    EXPECT_NE(fs::perms::none,
              fs::status(m_down + "AutoUpdate").permissions() & fs::perms::owner_exec);
}

TEST_F(AutoUpdateTest, FailedDownloadsAndUnsafeNamesNeverCountAsDownloaded) {
    const std::string pkg = MakePackage({{"data/a.txt", "a"}});
    const std::string file = SaveAs("a.pkg", pkg);
    const std::string longName(65, 'n');
    SimProcess& sim =
        StartSim({"--update-package", "good=" + file, "--update-package", "..=" + file,
                  "--update-package", longName + "=" + file, "--update-package", "sub/dir=" + file,
                  "--fault", "download:1+:http500"});
    UseUpdateValue(sim.Url("/update"));
    EXPECT_EQ(0, CAutoUpdate(m_inst.c_str()).RunUpdate());

    const std::string list = readFile(m_down + "update.xml");
    EXPECT_NE(std::string::npos, list.find("name=\"good\"")) << list;
    EXPECT_EQ(std::string::npos, list.find("state=\"2\"")) << list;
    EXPECT_EQ(std::string::npos, list.find(longName)) << list;
    EXPECT_EQ(std::string::npos, list.find("name=\"..\"")) << list;
    EXPECT_EQ(std::string::npos, list.find("sub/dir")) << list;
    EXPECT_FALSE(fs::exists(m_down + "AutoUpdate"));
    EXPECT_EQ(3u, Records("download").size());  // one per attempt, each answered 500
    // Nothing was written beside the download folder.
    EXPECT_FALSE(fs::exists(m_inst + "/Quorra/..tar.gz"));
    EXPECT_FALSE(CAutoUpdate(m_inst.c_str()).CheckInstall());
}

TEST_F(AutoUpdateTest, NextStartHandsOverAndTheInstallerInstallsTheSignedPackage) {
    std::map<std::string, std::string> files = {{"data/readme.txt", "new text"},
                                                {"data/added/more.txt", "more"}};
    files["client"] = "#!/bin/sh\necho new >> '" + m_root.file("started") + "'\n";
    const std::string pkg = MakePackage(files);
    SimProcess& sim = StartSim({"--update-package", "app=" + SaveAs("app.pkg", pkg)});
    UseUpdateValue("\"" + sim.Url("/update") + "\"");
    CAutoUpdate update(m_inst.c_str());
    ASSERT_EQ(0, update.RunUpdate());
    ASSERT_TRUE(fs::exists(m_down + "AutoUpdate"));

    ASSERT_TRUE(update.CheckInstall());
    EXPECT_TRUE(waitFor([&] { return Started() == "new\n"; }, 20s)) << Started();
    EXPECT_TRUE(waitFor(
        [&] {
            for (const auto& e : fs::directory_iterator(m_inst))
                if (e.path().filename().string().rfind(".update-", 0) == 0)
                    return false;
            return true;
        },
        10s));
    EXPECT_EQ("new text", readFile(m_inst + "/data/readme.txt"));
    EXPECT_EQ("more", readFile(m_inst + "/data/added/more.txt"));
    EXPECT_EQ("<conf><Account>me</Account></conf>", readFile(m_inst + "/conf/client.xml"));
    EXPECT_TRUE(fs::is_empty(m_down));
    EXPECT_EQ("keep me", readFile(m_root.file("inst/neighbour.txt")));
    EXPECT_FALSE(update.CheckInstall());
}

struct Doubtful {
    const char* what;
    bool tamperMd5, tamperSize, unsigned_, otherKey, storeFile;
};

class AutoUpdateRefusalTest : public AutoUpdateTest,
                              public ::testing::WithParamInterface<Doubtful> {};

TEST_P(AutoUpdateRefusalTest, IsRefusedAndTheInstallationStaysByteForByte) {
    const Doubtful& c = GetParam();
    std::map<std::string, std::string> files = {{"data/readme.txt", "evil"}};
    if (c.storeFile)
        files["conf/client.xml"] = "<conf/>";
    std::string key;
    if (c.otherKey) {
        std::string error;
        ASSERT_TRUE(CPackageSignature::GenerateKeyPair(m_root.file("other.key"),
                                                       m_root.file("other.pub"), error));
        key = m_root.file("other.key");
    }
    const std::string pkg = MakePackage(files, c.unsigned_ ? "unsigned" : key);
    std::string md5 = CPackageSignature::Md5Hex(pkg);
    if (c.tamperMd5)
        md5[0] = md5[0] == '0' ? '1' : '0';
    PlaceDownload(pkg, md5, pkg.size() + (c.tamperSize ? 1 : 0));
    const auto before = Snapshot(m_inst);

    EXPECT_EQ(1, RunInstaller()) << c.what;
    EXPECT_EQ(before, Snapshot(m_inst)) << c.what;
    // The old client comes back, and the next start does not hand the same package over again.
    EXPECT_TRUE(waitFor([&] { return Started() == "old\n"; }, 10s)) << Started();
    EXPECT_FALSE(CAutoUpdate(m_inst.c_str()).CheckInstall());
    EXPECT_NE(std::string::npos, readFile(m_inst + "/Log/AutoUpdate.log").find("refused"));
}

INSTANTIATE_TEST_SUITE_P(
    Doubtful, AutoUpdateRefusalTest,
    ::testing::Values(Doubtful{"wrong md5", true, false, false, false, false},
                      Doubtful{"wrong size", false, true, false, false, false},
                      Doubtful{"no signature", false, false, true, false, false},
                      Doubtful{"another key", false, false, false, true, false},
                      Doubtful{"store file", false, false, false, false, true}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (ch == ' ')
                ch = '_';
        return name;
    });

// What a hostile update server, or a validly signed package that must not install, can try.
// Each is refused with the installation byte for byte as it was; what the client can tell from
// the answer and the download is not even handed over, nor downloaded again for the same answer.
enum class Hostile {
    DOWNGRADE,
    BELOW_THE_LAST_INSTALL,
    REPLAY,
    RELEASE_KEY,
    VERSION_RECORD,
    FLOOD,
    LISTED_HUGE
};

struct HostileCase {
    const char* name;
    Hostile kind;
    const char* said;  // in the installer's log; empty for what the client refuses itself
};

class HostileUpdateTest : public AutoUpdateTest, public ::testing::WithParamInterface<HostileCase> {
protected:
    // Installs pkg as a hand-over would; the old client starts again.
    void InstallFirst(const std::string& pkg) {
        PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
        ASSERT_EQ(0, RunInstaller());
        ASSERT_TRUE(waitFor([&] { return Started() == "old\n"; }, 10s)) << Started();
        fs::remove(m_root.file("started"));
        // Every package here is kNewer; the window, as its desktop user, reads the record too.
        const std::string record = m_inst + "/conf/installed-version";
        EXPECT_EQ(std::to_string(kNewer) + "\n", readFile(record));
        EXPECT_EQ(fs::perms(0644), fs::status(record).permissions() & fs::perms::mask);
    }
    std::string HostilePackage(Hostile kind) {
        const std::map<std::string, std::string> files = {{"data/readme.txt", "hostile"}};
        switch (kind) {
            case Hostile::DOWNGRADE:
                return MakePackage(files, "", kInstalled - 100);
            case Hostile::BELOW_THE_LAST_INSTALL:
                InstallFirst(MakePackage({{"data/readme.txt", "first"}}, "", kNewer));
                return MakePackage(files, "", kNewer - 1);
            case Hostile::REPLAY: {
                const std::string first = MakePackage({{"data/readme.txt", "first"}});
                InstallFirst(first);
                return first;
            }
            case Hostile::RELEASE_KEY: {
                std::string error;
                EXPECT_TRUE(CPackageSignature::GenerateKeyPair(m_root.file("other.key"),
                                                               m_root.file("other.pub"), error));
                return MakePackage({{"data/readme.txt", "hostile"},
                                    {"conf/release.pub", readFile(m_root.file("other.pub"))}});
            }
            case Hostile::VERSION_RECORD:  // would let older packages in again
                return MakePackage(
                    {{"data/readme.txt", "hostile"}, {"conf/installed-version", "1\n"}});
            default:
                return MakePackage(files);
        }
    }
};

TEST_P(HostileUpdateTest, IsRefusedAndTheInstallationStaysByteForByte) {
    const HostileCase& c = GetParam();
    const std::string pkg = HostilePackage(c.kind);
    if (HasFatalFailure())
        return;
    std::vector<std::string> options = {"--update-package", "app=" + SaveAs("app.pkg", pkg)};
    if (c.kind == Hostile::FLOOD)  // 512 MiB for a package listed at its real size
        options.insert(options.end(), {"--fault", "download:1+:flood:536870912"});
    if (c.kind == Hostile::LISTED_HUGE)
        options.insert(options.end(),
                       {"--fault", "update:1+:listsize:" +
                                       std::to_string(CHandOverCheck::kMaxPackageBytes + 1)});
    UseUpdateValue(StartSim(options).Url("/update"));
    const auto before = Snapshot(m_inst);
    const size_t logged = readFile(m_inst + "/Log/AutoUpdate.log").size();
    CAutoUpdate update(m_inst.c_str());

    ASSERT_EQ(0, update.RunUpdate());
    // After an installation the server is told the installed version, not the service's older one.
    const bool installedFirst =
        c.kind == Hostile::BELOW_THE_LAST_INSTALL || c.kind == Hostile::REPLAY;
    for (cJSON* query : Records("update"))
        EXPECT_EQ(installedFirst ? "3000" : "2.1.0", SimProcess::Str(query, "query", "version"));
    if (*c.said == '\0') {
        EXPECT_EQ(CDownloadList::LIST_REFUSED,
                  CDownloadList((m_down + "update.xml").c_str()).Check());
        EXPECT_FALSE(fs::exists(m_down + "app.tar.gz"));
        EXPECT_FALSE(update.CheckInstall());
        const size_t downloads = Records("download").size();
        EXPECT_EQ(c.kind == Hostile::FLOOD ? 1u : 0u, downloads);
        ASSERT_EQ(0, update.RunUpdate());  // the same answer again: nothing is downloaded
        EXPECT_EQ(downloads, Records("download").size());
        EXPECT_FALSE(update.CheckInstall());
    } else {
        ASSERT_TRUE(update.CheckInstall());
        EXPECT_TRUE(waitFor([&] { return Started() == "old\n"; }, 20s)) << Started();
        EXPECT_FALSE(HandOverLeft());
        const std::string said = readFile(m_inst + "/Log/AutoUpdate.log").substr(logged);
        EXPECT_NE(std::string::npos, said.find("update refused, installation unchanged")) << said;
        EXPECT_NE(std::string::npos, said.find(c.said)) << said;
    }
    EXPECT_EQ(before, Snapshot(m_inst));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileUpdateTest,
    ::testing::Values(HostileCase{"Downgrade", Hostile::DOWNGRADE,
                                  "version 2000, not newer than the installed 2100"},
                      HostileCase{"BelowTheLastInstall", Hostile::BELOW_THE_LAST_INSTALL,
                                  "version 2999, not newer than the installed 3000"},
                      HostileCase{"ReplayOfTheInstalledPackage", Hostile::REPLAY,
                                  "version 3000, not newer than the installed 3000"},
                      HostileCase{"CarriesTheReleaseKey", Hostile::RELEASE_KEY,
                                  "would replace conf/release.pub, which no package may change"},
                      HostileCase{
                          "CarriesTheVersionRecord", Hostile::VERSION_RECORD,
                          "would replace conf/installed-version, which no package may change"},
                      HostileCase{"BodyPastTheListedSize", Hostile::FLOOD, ""},
                      HostileCase{"ListedOverTheInstallersLimit", Hostile::LISTED_HUGE, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Anyone on the path could answer an unchecked https query with a package list of their own: the
// query goes only to a server whose certificate a trusted authority issued for its name. This
// listener has one from an authority nobody trusts, and answers anyone who does not check.
TEST_F(AutoUpdateTest, HttpsQueryNeedsACertificateTheSystemTrusts) {
    orvane_test::TestCertificates certs(m_simDir);
    if (!certs.made)
        GTEST_SKIP() << "the openssl command cannot make test certificates here";
    orvane_test::TlsTestServer tls(certs.hostCert, certs.hostKey);
    std::atomic<int> queries{0};
    tls.Server().Get("/update", [&](const httplib::Request&, httplib::Response& res) {
        ++queries;
        res.set_content("<response><pkgxmls/></response>", "text/xml");
    });
    ASSERT_TRUE(tls.Start());
    UseUpdateValue(tls.Url("/update"));
    EXPECT_EQ(0, CAutoUpdate(m_inst.c_str()).RunUpdate());
    EXPECT_EQ(0, queries.load());
    EXPECT_FALSE(fs::exists(m_down + "install.xml"));

    const std::string url = tls.Url("/update");
    CHttpData unchecked(true);
    unchecked.szUrl = url.c_str();
    EXPECT_EQ(0, CCurlHttp::Perform(&unchecked));
    EXPECT_EQ(1, queries.load());
}

// However the installer ends, the next client start must not find the same complete download
// (it would hand over again, and again), and a client must be running again: otherwise the user
// is left with no window at all.
enum class Ending {
    INSTALLED,
    REFUSED,
    NO_RELEASE_KEY,
    BAD_ARGUMENT,
    MOVE_FAILS,
    NEW_CLIENT_FAILS,
    UNSAFE
};

struct EndingCase {
    const char* name;
    Ending ending;
    int status;
    const char* started;  // what the clients started afterwards wrote, in order
};

void PrintTo(const EndingCase& c, std::ostream* out) {
    *out << c.name;
}

class InstallerEndingTest : public AutoUpdateTest,
                            public ::testing::WithParamInterface<EndingCase> {};

TEST_P(InstallerEndingTest, LeavesNoHandOverBehindAndStartsTheClientAgain) {
    const EndingCase& c = GetParam();
    std::map<std::string, std::string> files = {{"data/readme.txt", "new text"}};
    if (c.ending == Ending::MOVE_FAILS)  // a file where the package needs a folder
        files = {{"data/readme.txt/inner.txt", "x"}};
    if (c.ending == Ending::INSTALLED)
        files["client"] = "#!/bin/sh\necho new >> '" + m_root.file("started") + "'\n";
    if (c.ending == Ending::NEW_CLIENT_FAILS)
        files["client"] = "#!/bin/sh\necho broken >> '" + m_root.file("started") + "'\nexit 3\n";
    const std::string pkg = MakePackage(files);
    std::string md5 = CPackageSignature::Md5Hex(pkg);
    if (c.ending == Ending::REFUSED)
        md5[0] = md5[0] == '0' ? '1' : '0';
    PlaceDownload(pkg, md5, pkg.size());
    std::string argument = CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().ToStdString();
    if (c.ending == Ending::BAD_ARGUMENT)
        argument = "<conf><updateDir>/elsewhere/</updateDir></conf>";
    if (c.ending == Ending::NO_RELEASE_KEY)
        fs::remove(m_inst + "/conf/release.pub");
    if (c.ending == Ending::UNSAFE) {
        ASSERT_EQ(0, chmod((m_inst + "/conf/conf.xml").c_str(), 0664));
    }
    const auto before = Snapshot(m_inst);

    EXPECT_EQ(c.status, RunInstaller(argument));
    EXPECT_FALSE(HandOverLeft());
    EXPECT_TRUE(waitFor([&] { return Started() == c.started; }, 10s)) << Started();
    if (c.ending != Ending::INSTALLED) {
        EXPECT_EQ(before, Snapshot(m_inst));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, InstallerEndingTest,
    ::testing::Values(EndingCase{"Installed", Ending::INSTALLED, 0, "new\n"},
                      EndingCase{"Refused", Ending::REFUSED, 1, "old\n"},
                      EndingCase{"NoReleaseKey", Ending::NO_RELEASE_KEY, 1, "old\n"},
                      EndingCase{"BadArgument", Ending::BAD_ARGUMENT, 2, "old\n"},
                      EndingCase{"MoveFailsAndIsUndone", Ending::MOVE_FAILS, 3, "old\n"},
                      EndingCase{"NewClientFailsAndIsUndone", Ending::NEW_CLIENT_FAILS, 3,
                                 "broken\nold\n"},
                      EndingCase{"UnsafeInstallation", Ending::UNSAFE, 78, "old\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The client hands over only when the installer will not refuse at once: the same check of the
// installation and the release key comes first, and without a release key nothing is downloaded.
enum class Wrong { MISSING, LINK, GROUP_WRITABLE };

struct HandOverCase {
    const char* name;
    const char* path;  // relative to the installation
    Wrong wrong;
};

void PrintTo(const HandOverCase& c, std::ostream* out) {
    *out << c.name;
}

class HandOverCheckTest : public AutoUpdateTest,
                          public ::testing::WithParamInterface<HandOverCase> {};

TEST_P(HandOverCheckTest, ClientDoesNotHandOverToAnInstallerThatWouldRefuse) {
    const HandOverCase& c = GetParam();
    const std::string pkg = MakePackage({{"data/readme.txt", "new text"}});
    PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
    const std::string path = m_inst + "/" + c.path;
    fs::create_directories(fs::path(path).parent_path());
    const std::string elsewhere = m_root.file("elsewhere");
    writeFile(elsewhere, readFile(path));
    if (c.wrong != Wrong::GROUP_WRITABLE)
        fs::remove(path);
    if (c.wrong == Wrong::LINK) {
        ASSERT_EQ(0, symlink(elsewhere.c_str(), path.c_str()));
    }
    if (c.wrong == Wrong::GROUP_WRITABLE)
        fs::permissions(path, fs::perms::group_write, fs::perm_options::add);

    // False: the installer was not started.
    EXPECT_FALSE(CAutoUpdate(m_inst.c_str()).CheckInstall());
    EXPECT_TRUE(HandOverLeft());  // kept for when the installation is mended
}

INSTANTIATE_TEST_SUITE_P(
    WhatTheInstallerChecks, HandOverCheckTest,
    ::testing::Values(HandOverCase{"NoReleaseKey", "conf/release.pub", Wrong::MISSING},
                      HandOverCase{"ReleaseKeyALink", "conf/release.pub", Wrong::LINK},
                      HandOverCase{"StoreWritableByGroup", "conf/conf.xml", Wrong::GROUP_WRITABLE},
                      HandOverCase{"InstallerLogALink", "Log/AutoUpdate.log", Wrong::LINK},
                      HandOverCase{"InstallerWritableByGroup", "Quorra/AutoSetupAuth/AutoUpdate",
                                   Wrong::GROUP_WRITABLE},
                      HandOverCase{"ClientWritableByGroup", "client", Wrong::GROUP_WRITABLE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AutoUpdateTest, WithoutAReleaseKeyNothingIsAskedOrDownloaded) {
    const std::string pkg = MakePackage({{"data/readme.txt", "new text"}});
    SimProcess& sim = StartSim({"--update-package", "app=" + SaveAs("app.pkg", pkg)});
    UseUpdateValue(sim.Url("/update"));
    fs::remove(m_inst + "/conf/release.pub");
    EXPECT_EQ(0, CAutoUpdate(m_inst.c_str()).RunUpdate());
    EXPECT_TRUE(Records("update").empty());
    EXPECT_TRUE(Records("download").empty());
    EXPECT_FALSE(fs::exists(m_down + "AutoUpdate"));
}

TEST_F(AutoUpdateTest, InstallerArgumentDescribesTheInstallation) {
    const std::string arg = CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().ToStdString();
    EXPECT_NE(std::string::npos, arg.find("<version>2100</version>"));
    EXPECT_NE(std::string::npos, arg.find("<updateDir>" + m_inst + "/</updateDir>"));
    EXPECT_NE(std::string::npos,
              arg.find("<downloadDir>" + m_inst + "/Quorra/AutoSetupAuth/</downloadDir>"));
    writeFile(m_inst + "/conf/conf.xml", "<conf></conf>");
    EXPECT_NE(std::string::npos, CAutoUpdate(m_inst.c_str())
                                     .BuildInstallerArgument()
                                     .ToStdString()
                                     .find("<version>1000</version>"));
    fs::remove(m_inst + "/conf/conf.xml");
    EXPECT_EQ("", CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().ToStdString());

    // With an empty argument the installer still finds the installation from its folder.
    const std::string pkg = MakePackage({{"data/readme.txt", "via folder"}});
    PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
    EXPECT_EQ(0, RunInstaller());
    EXPECT_EQ("via folder", readFile(m_inst + "/data/readme.txt"));
}

// The staging folder the running installer has unpacked into, once it holds rel; empty until then.
std::string UnpackedInto(const std::string& inst, const std::string& rel) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(inst, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".update-", 0) == 0 && fs::exists(entry.path() / "new" / rel, ec))
            return entry.path().string();
    }
    return std::string();
}

// The installation is renamed away while the installer waits for the old client to leave, and a
// look-alike takes its path: the installer installs into neither, and says why.
TEST_F(AutoUpdateTest, InstallationRenamedDuringTheRunGetsNothingAndNorDoesItsStandIn) {
    const std::string pkg = MakePackage({{"data/readme.txt", "new text"}});
    PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
    const pid_t oldClient = CProcessLauncher::Start({"/bin/sleep", "30"}, m_root.path(), false);
    ASSERT_GT(oldClient, 0);
    writeFile(m_inst + "/conf/client.xml",
              "<conf><ClientPID>" + std::to_string(oldClient) + "</ClientPID></conf>");
    const auto before = Snapshot(m_inst);
    const pid_t installer = CProcessLauncher::Start(
        {m_down + "AutoUpdate", CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().c_str()},
        m_down, false);
    ASSERT_GT(installer, 0);

    const bool waiting =
        waitFor([&] { return !UnpackedInto(m_inst, "data/readme.txt").empty(); }, 10s);
    const std::string moved = m_inst + " moved";
    ASSERT_EQ(0, rename(m_inst.c_str(), moved.c_str()));
    fs::copy(moved, m_inst, fs::copy_options::recursive);
    kill(oldClient, SIGKILL);
    int status = 0;
    waitpid(oldClient, &status, 0);
    ASSERT_TRUE(waiting) << "the installer never unpacked";
    ASSERT_TRUE(CProcessLauncher::WaitChild(installer, 20000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

    // The stand-in was copied with the staging folder the installer had made by then.
    auto standIn = Snapshot(m_inst);
    for (auto it = standIn.begin(); it != standIn.end();)
        it = it->first.rfind(".update-", 0) == 0 ? standIn.erase(it) : std::next(it);
    EXPECT_EQ(before, Snapshot(moved));
    EXPECT_EQ(before, standIn);
    EXPECT_EQ("old text", readFile(m_inst + "/data/readme.txt"));
    EXPECT_NE(std::string::npos, readFile(moved + "/Log/AutoUpdate.log").find("moved away"))
        << readFile(moved + "/Log/AutoUpdate.log");
    // The client that comes back is the checked one, from where it now lies.
    EXPECT_TRUE(waitFor([&] { return Started() == "old\n"; }, 10s)) << Started();
}

// Started through pkexec by a desktop user, the installer takes the packages from that user's
// own folder when no one else can change it, and starts the window again as that user.
struct UserFolderCase {
    const char* name;
    mode_t mode;  // of the user's download folder
    int status;
    const char* started;
};

class UserDownloadTest : public AutoUpdateTest,
                         public ::testing::WithParamInterface<UserFolderCase> {};

TEST_P(UserDownloadTest, TheUsersOwnFolderIsReadOnceAndTheWindowComesBackAsTheUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "an installer for another user needs root";
    const UserFolderCase& c = GetParam();
    constexpr uid_t kUser = 65534;
    const std::string home = m_root.file("home");
    const std::string down = home + "/cache/";
    fs::create_directories(down);
    for (const std::string& dir : {home, home + "/cache"})
        ASSERT_EQ(0, chown(dir.c_str(), kUser, kUser));
    ASSERT_EQ(0, chmod(down.c_str(), c.mode));
    // The user's window must reach the marker file.
    ASSERT_EQ(0, chmod(m_root.path().c_str(), 0711));
    writeFile(m_root.file("started"), "");
    ASSERT_EQ(0, chmod(m_root.file("started").c_str(), 0666));
    WriteClient(m_inst + "/client", "old $(id -u)", 0);
    const std::string pkg = MakePackage(
        {{"data/readme.txt", "new text"},
         {"client", "#!/bin/sh\necho new $(id -u) >> '" + m_root.file("started") + "'\n"}});
    writeFile(down + "app.tar.gz", pkg);
    writeFile(down + "update.xml", "<update><item name=\"app\" md5=\"" +
                                       CPackageSignature::Md5Hex(pkg) + "\" size=\"" +
                                       std::to_string(pkg.size()) + "\" state=\"2\"/></update>");
    const auto before = Snapshot(m_inst);

    CProcessLauncher::Options options;
    options.dir = m_root.path();
    options.ownEnvironment = true;
    options.environment = {"PKEXEC_UID=" + std::to_string(kUser), "PATH=/usr/bin:/bin"};
    const std::string argument = "<conf><updateDir>" + m_inst + "/</updateDir><downloadDir>" +
                                 down + "</downloadDir></conf>";
    EXPECT_EQ(c.status, CProcessLauncher::Run({m_inst + "/AutoUpdate", argument}, options));
    EXPECT_TRUE(waitFor([&] { return Started() == c.started; }, 10s)) << Started();
    if (c.status == 0) {
        EXPECT_EQ("new text", readFile(m_inst + "/data/readme.txt"));
        EXPECT_TRUE(fs::is_empty(down)) << "the hand-over was not taken back";
    } else {
        EXPECT_EQ(before, Snapshot(m_inst));
        EXPECT_NE(std::string::npos, readFile(m_inst + "/Log/AutoUpdate.log")
                                         .find("the download folder is not safe: " + down))
            << readFile(m_inst + "/Log/AutoUpdate.log");
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, UserDownloadTest,
                         ::testing::Values(UserFolderCase{"TheUsersAlone", 0700, 0, "new 65534\n"},
                                           UserFolderCase{"WritableByOthers", 0777, 1,
                                                          "old 65534\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The installer runs as root and trusts the release key it finds: in an installation that others
// can change it installs nothing, writes no log and says what to mend. It takes back only the
// download list and starts the client again (which then says the same) while the folders and the
// program involved are root's alone; with the installation folder itself open to others, not even
// that.
TEST_F(AutoUpdateTest, InstallationOthersCanChangeIsRefusedUntouched) {
    const std::string pkg = MakePackage({{"data/readme.txt", "new text"}});
    PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
    const std::string key = m_inst + "/conf/release.pub";
    const std::string real = m_root.file("release.pub");
    ASSERT_EQ(rename(key.c_str(), real.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), key.c_str()), 0);
    ASSERT_EQ(chmod((m_inst + "/conf").c_str(), 0777), 0);
    const auto before = Snapshot(m_inst);
    auto downloads = Snapshot(m_down);
    const std::string list = readFile(m_down + "update.xml");

    const std::string err = m_root.file("installer.err");
    const std::string argument = CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().c_str();
    const std::vector<std::string> run = {
        "/bin/sh", "-c", "\"$0\" \"$1\" 2>\"$2\"", m_down + "AutoUpdate", argument, err};
    EXPECT_EQ(78, CProcessLauncher::Run(run, m_down));
    const std::string said = readFile(err);
    EXPECT_NE(said.find(m_inst + "/conf is writable by group or others"), std::string::npos)
        << said;
    EXPECT_NE(said.find(key + " is a symbolic link"), std::string::npos) << said;
    EXPECT_EQ(before, Snapshot(m_inst));
    downloads.erase("update.xml");
    EXPECT_EQ(downloads, Snapshot(m_down));
    EXPECT_TRUE(waitFor([&] { return Started() == "old\n"; }, 10s)) << Started();
    EXPECT_EQ("old text", readFile(m_inst + "/data/readme.txt"));
    EXPECT_FALSE(fs::exists(m_inst + "/Log"));

    writeFile(m_down + "update.xml", list);
    fs::remove(m_root.file("started"));
    ASSERT_EQ(chmod(m_inst.c_str(), 0777), 0);
    EXPECT_EQ(78, CProcessLauncher::Run(run, m_down));
    EXPECT_EQ(list, readFile(m_down + "update.xml"));
    EXPECT_FALSE(waitFor([&] { return !Started().empty(); }, 1s)) << Started();
}

namespace {

struct UpdateFault {
    const char* name;
    const char* action;  // the simulator's fault action
};

// A refused server closes its listener for a second; a stall holds one answer just past the
// client's time limit.
const UpdateFault kUpdateFaults[] = {
    {"Refused", "refuse:1000"}, {"Dropped", "drop"},    {"Stalled", "delay:16000"},
    {"Http500", "http500"},     {"Garbage", "garbage"}, {"Truncated", "truncate"},
};

using UpdateScenario = std::tuple<const char*, UpdateFault>;

std::vector<UpdateScenario> UpdateScenarios() {
    std::vector<UpdateScenario> all;
    for (const char* kind : {"update", "download"}) {
        for (const UpdateFault& fault : kUpdateFaults)
            all.emplace_back(kind, fault);
    }
    return all;
}

// The update query and the package download against every way the update server can fail
// them: the run ends without harm, hands over to the installer only a package that came in
// wrong (which the installer refuses), and a later run against a working server brings the
// package in whole.
class UpdateFaultTest : public AutoUpdateTest,
                        public ::testing::WithParamInterface<UpdateScenario> {
protected:
    std::string Kind() const { return std::get<0>(GetParam()); }
    std::string Name() const { return std::get<1>(GetParam()).name; }
    size_t Faulted(const std::string& rule) {
        size_t n = 0;
        for (cJSON* rec : Records(Kind()))
            n += SimProcess::Str(rec, "fault") == rule;
        return n;
    }
    // Lets the server answer normally again, once its listener is back after a refusal.
    void Lift(SimProcess& sim) {
        const int port = std::atoi(readFile(m_simDir.file("control-port")).c_str());
        const std::string clear = "clear-faults";
        ASSERT_EQ(200, orvane_test::Http(
                           "http://127.0.0.1:" + std::to_string(port) + "/sim/control", &clear)
                           .status);
        ASSERT_TRUE(waitFor(
            [&] { return orvane_test::Http(sim.Url("/forward.cgi"), nullptr, {}, 500).status > 0; },
            5s, 50ms));
    }
    // Faults that can leave wrong bytes in the package file: a garbage body, or the wrong first
    // bytes of a truncated one that the next run resumes.
    bool Corrupting() const {
        return Kind() == "download" && (Name() == "Garbage" || Name() == "Truncated");
    }
    // A package that came in wrong is handed over as it is (the client leaves checking it to
    // the installer): the installer refuses it with the installation unchanged and clears the
    // downloads, so that the next run fetches it afresh. True when that happened.
    bool RefuseWrongHandOver(const std::string& pkg,
                             const std::map<std::string, std::string>& before) {
        if (!fs::exists(m_down + "AutoUpdate") || readFile(m_down + "app.tar.gz") == pkg)
            return false;
        EXPECT_TRUE(Corrupting()) << "handed over after a failed " << Kind();
        EXPECT_EQ(1, RunInstaller());
        EXPECT_TRUE(before == Snapshot(m_inst)) << "the installation changed";
        EXPECT_FALSE(fs::exists(m_down + "app.tar.gz"));
        // The installer starts the old client again; let it finish inside the test's folder.
        EXPECT_TRUE(waitFor([&] { return Started() == "old\n"; }, 10s)) << Started();
        fs::remove(m_root.file("started"));
        return true;
    }
    void ExpectWholePackage(const std::string& pkg) {
        EXPECT_EQ(pkg, readFile(m_down + "app.tar.gz"));
        EXPECT_EQ(CDownloadList::LIST_COMPLETE,
                  CDownloadList((m_down + "update.xml").c_str()).Check());
        EXPECT_TRUE(fs::exists(m_down + "AutoUpdate"));
    }
};

TEST_P(UpdateFaultTest, RunEndsHarmlessAndTheNextRunBringsThePackage) {
    const std::string pkg = MakePackage({{"data/a.txt", std::string(4000, 'a')}});
    const bool stall = Name() == "Stalled";
    // A stall hits one request (the client then tries again); the others every request of the
    // kind until they are lifted.
    const std::string rule = Kind() + (stall ? ":1:" : ":1+:") + std::get<1>(GetParam()).action;
    SimProcess& sim =
        StartSim({"--update-package", "app=" + SaveAs("app.pkg", pkg), "--control-port", "0",
                  "--control-port-file", m_simDir.file("control-port"), "--fault", rule});
    UseUpdateValue(sim.Url("/update"));
    const auto before = Snapshot(m_inst);
    CAutoUpdate update(m_inst.c_str());

    EXPECT_EQ(0, update.RunUpdate());
    // The simulator logs a stalled request when its stall ends, after the client gave up on it.
    EXPECT_TRUE(waitFor([&] { return Faulted(rule) >= 1; }, 5s, 50ms)) << rule;
    EXPECT_TRUE(before == Snapshot(m_inst)) << "the installation changed";
    if (stall) {
        // The attempt after the one that timed out got the package.
        ExpectWholePackage(pkg);
        return;
    }
    int refused = RefuseWrongHandOver(pkg, before);
    Lift(sim);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(0, update.RunUpdate());
    if (RefuseWrongHandOver(pkg, before)) {
        ++refused;
        EXPECT_EQ(0, update.RunUpdate());
    }
    EXPECT_EQ(Corrupting() ? 1 : 0, refused);
    ExpectWholePackage(pkg);
    EXPECT_TRUE(before == Snapshot(m_inst)) << "the installation changed";
}

std::string UpdateScenarioName(const ::testing::TestParamInfo<UpdateScenario>& info) {
    std::string kind = std::get<0>(info.param);
    kind[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(kind[0])));
    return kind + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Conversations, UpdateFaultTest, ::testing::ValuesIn(UpdateScenarios()),
                         UpdateScenarioName);

}  // namespace

// A package's installer (built for a package's layout) refuses whatever it is handed, with the
// reason and its own status, and changes nothing: not the installation, not the download it was
// handed, and it starts no client.
TEST_F(AutoUpdateTest, PackagedInstallerRefusesAndTouchesNothing) {
    const std::string pkg = MakePackage({{"data/readme.txt", "new text"}});
    PlaceDownload(pkg, CPackageSignature::Md5Hex(pkg), pkg.size());
    fs::copy_file(ORVANE_AUTOUPDATE_PACKAGED, m_inst + "/AutoUpdate",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(ORVANE_AUTOUPDATE_PACKAGED, m_down + "AutoUpdate",
                  fs::copy_options::overwrite_existing);
    const auto before = Snapshot(m_inst);
    const auto downloads = Snapshot(m_down);
    const std::string argument = CAutoUpdate(m_inst.c_str()).BuildInstallerArgument().ToStdString();

    const std::string err = m_root.file("installer.err");
    EXPECT_EQ(CPackageInstaller::kPackageManaged,
              CProcessLauncher::Run({"/bin/sh", "-c", "exec ./AutoUpdate \"$1\" 2>\"$2\"",
                                     "AutoUpdate", argument, err},
                                    m_down));
    EXPECT_NE(std::string::npos, readFile(err).find("install new versions with apt"))
        << readFile(err);
    EXPECT_TRUE(HandOverLeft());
    EXPECT_EQ(before, Snapshot(m_inst));
    EXPECT_EQ(downloads, Snapshot(m_down));
    EXPECT_FALSE(fs::exists(m_inst + "/Log"));
    EXPECT_EQ("", Started());
}
