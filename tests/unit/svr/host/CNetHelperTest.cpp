// Resolver rewrite on files of the test's own, and the address check's reason codes.
#include "CNetHelper.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

struct Rewritten {
    int result;
    std::string dns1;
    std::string dns2;
    std::string text;
};

Rewritten Rewrite(const std::string& path, const std::string& before, const char* dns1,
                  const char* dns2) {
    EXPECT_TRUE(writeFile(path, before));
    CAutoString a(dns1);
    CAutoString b(dns2);
    int result = CNetHelper(path.c_str()).SetDNSServers(a, b);
    return {result, a.c_str(), b.c_str(), readFile(path)};
}

// Runs fn in a forked child and returns its exit status (-1 when it did not exit normally), so
// a test can change the process's identity or limits without affecting the others.
int InChild(const std::function<int()>& fn) {
    pid_t child = fork();
    if (child == 0)
        _exit(fn());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class NetHelperTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("resolv.conf");
};

TEST_F(NetHelperTest, ReplacesTwoServersAndPutsThemBackOnTheSecondCall) {
    const std::string original = "nameserver 8.8.8.8\nnameserver 8.8.4.4\nsearch lan\n";
    Rewritten r = Rewrite(path, original, "10.1.1.1", "10.1.1.2");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n");
    EXPECT_EQ(r.dns1, "8.8.8.8");
    EXPECT_EQ(r.dns2, "8.8.4.4");

    CAutoString a(r.dns1.c_str());
    CAutoString b(r.dns2.c_str());
    EXPECT_EQ(CNetHelper(path.c_str()).SetDNSServers(a, b), 0);
    EXPECT_EQ(readFile(path), original);
    EXPECT_EQ(std::string(a.c_str()), "10.1.1.1");
    EXPECT_EQ(std::string(b.c_str()), "10.1.1.2");
}

TEST_F(NetHelperTest, LocalResolversStayAndExtraServersGo) {
    Rewritten r = Rewrite(path,
                          "# head\nnameserver 127.0.1.1\nnameserver 1.1.1.1\nnameserver ::1\n"
                          "nameserver 9.9.9.9\nnameserver 8.8.8.8\noptions edns0\n",
                          "10.1.1.1", "10.1.1.2");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text,
              "# head\nnameserver 127.0.1.1\nnameserver 10.1.1.1\nnameserver ::1\n"
              "nameserver 10.1.1.2\noptions edns0\n");
    EXPECT_EQ(r.dns1, "1.1.1.1");
    EXPECT_EQ(r.dns2, "9.9.9.9");

    // systemd-resolved's stub file: the stub stays first, the portal's servers go before "search".
    r = Rewrite(path, "nameserver 127.0.0.53\noptions edns0 trust-ad\nsearch .\n", "10.1.1.1", "");
    EXPECT_EQ(r.text,
              "nameserver 127.0.0.53\noptions edns0 trust-ad\nnameserver 10.1.1.1\nsearch .\n");
    // Only a local resolver and no search line: nothing to place the servers before.
    r = Rewrite(path, "nameserver 127.0.0.53\n", "10.1.1.1", "10.1.1.2");
    EXPECT_EQ(r.text, "nameserver 127.0.0.53\n");
}

TEST(NetHelperLocalResolverTest, LoopbackAddressesInEverySpelling) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.53", true}, {"127.0.1.1", true},       {"127.255.255.254", true},
        {"::1", true},        {"0:0:0:0:0:0:0:1", true}, {"::1%lo", true},
        {"128.0.0.1", false}, {"1127.0.0.1", false},     {"127.0.0.1x", false},
        {"::10", false},      {"::1:1", false},          {"10.127.0.1", false},
        {"", false},          {"localhost", false},
    };
    for (const auto& [address, local] : cases)
        EXPECT_EQ(CNetHelper::IsLocalResolver(address), local) << address;
}

TEST_F(NetHelperTest, ServersGoBeforeTheSearchLine) {
    Rewritten r = Rewrite(path, "search lan\n", "10.1.1.1", "2001:db8::53");
    EXPECT_EQ(r.text, "nameserver 10.1.1.1\nnameserver 2001:db8::53\nsearch lan\n");
    EXPECT_EQ(r.dns1, "");
    EXPECT_EQ(r.dns2, "");

    // A search line first: later servers are removed and not remembered.
    r = Rewrite(path, "search lan\nnameserver 8.8.8.8\nnameserver 8.8.4.4\n", "10.1.1.1",
                "10.1.1.2");
    EXPECT_EQ(r.text, "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n");
    EXPECT_EQ(r.dns1, "");
    EXPECT_EQ(r.dns2, "");

    // One server line, then the search line: the second portal server goes before it.
    r = Rewrite(path, "nameserver 8.8.8.8\nsearch lan\n", "10.1.1.1", "10.1.1.2");
    EXPECT_EQ(r.text, "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n");
    EXPECT_EQ(r.dns1, "8.8.8.8");
    EXPECT_EQ(r.dns2, "");
}

TEST_F(NetHelperTest, InvalidAnnouncedServersAreSkipped) {
    // Neither usable: the machine keeps its servers rather than being left with none.
    Rewritten r = Rewrite(path, "nameserver 8.8.8.8\nnameserver 8.8.4.4\n", "0.1.1.1", "");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, "nameserver 8.8.8.8\nnameserver 8.8.4.4\n");
    EXPECT_EQ(r.dns1, "");
    EXPECT_EQ(r.dns2, "");

    // Only the second usable: it takes the first slot, the second slot stays empty.
    r = Rewrite(path, "nameserver 8.8.8.8\nnameserver 8.8.4.4\n", "bogus", "10.1.1.2");
    EXPECT_EQ(r.text, "nameserver 10.1.1.2\n");
    EXPECT_EQ(r.dns1, "8.8.8.8");
    EXPECT_EQ(r.dns2, "8.8.4.4");
}

TEST_F(NetHelperTest, LongFilesAndLongLinesStayWhole) {
    std::string before = "nameserver 8.8.8.8\n";
    std::string after = "nameserver 10.1.1.1\n";
    const std::string longLine = "# " + std::string(3000, 'x') + "\n";
    for (int i = 0; i < 2000; ++i) {
        const std::string line = i % 500 == 0 ? longLine : "# line " + std::to_string(i) + "\n";
        before += line;
        after += line;
    }
    before += "nameserver 8.8.4.4";  // last line without a line feed
    after += "nameserver 10.1.1.2\n";
    Rewritten r = Rewrite(path, before, "10.1.1.1", "10.1.1.2");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, after);
    EXPECT_EQ(r.dns2, "8.8.4.4");
}

TEST_F(NetHelperTest, SymbolicLinkIsKeptAndItsTargetRewritten) {
    const std::string target = dir.file("real.conf");
    ASSERT_TRUE(writeFile(target, "nameserver 8.8.8.8\nsearch lan\n"));
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    CAutoString a("10.1.1.1");
    CAutoString b("10.1.1.2");
    EXPECT_EQ(CNetHelper(path.c_str()).SetDNSServers(a, b), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readFile(target), "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n");
}

TEST_F(NetHelperTest, RefusedAccessGives13AndChangesNothing) {
    const std::string original = "nameserver 8.8.8.8\nsearch lan\n";
    ASSERT_TRUE(writeFile(path, original));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // Root writes regardless of permission bits, so the attempt runs as an unprivileged user.
    int result = InChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 99;
        CAutoString a("10.1.1.1");
        CAutoString b("10.1.1.2");
        int r = CNetHelper(path.c_str()).SetDNSServers(a, b);
        return std::string(a.c_str()) == "10.1.1.1" ? r : 98;
    });
    EXPECT_EQ(result, 13);
    EXPECT_EQ(readFile(path), original);

    CAutoString a("10.1.1.1");
    CAutoString b;
    EXPECT_EQ(CNetHelper(dir.file("missing").c_str()).SetDNSServers(a, b), ENOENT);
}

TEST_F(NetHelperTest, FailedWritePutsTheOldTextBack) {
    const std::string original = "search lan\n";
    ASSERT_TRUE(writeFile(path, original));
    // A file size limit below the new text's length makes the write fail part way.
    int result = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20, 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 99;
        CAutoString a("10.1.1.1");
        CAutoString b("10.1.1.2");
        int r = CNetHelper(path.c_str()).SetDNSServers(a, b);
        return std::string(b.c_str()) == "10.1.1.2" ? r : 98;
    });
    EXPECT_EQ(result, EFBIG);
    EXPECT_EQ(readFile(path), original);
}

// ---- Putting the machine's own file back -------------------------------------------------------

class NetHelperRestoreTest : public NetHelperTest {
protected:
    std::string saved = dir.file("conf/resolv.saved");
    std::string record = dir.file("conf/resolv.written");
    const std::string original =
        "# written by the network manager\nnameserver 192.168.0.1\nnameserver 10.20.0.2\n"
        "options timeout:2 attempts:3\nsearch campus.example lan\n";

    void SetUp() override {
        std::filesystem::create_directory(dir.file("conf"));
        ASSERT_TRUE(writeFile(path, original));
    }
    int Apply(CNetHelper& helper, const char* dns1, const char* dns2) {
        CAutoString a(dns1);
        CAutoString b(dns2);
        return helper.SetDNSServers(a, b);
    }
};

// Two logins' worth of rewrites, then the logout: the file is the machine's own again, byte for
// byte, and the saved copy exists exactly while a rewrite is in force.
TEST_F(NetHelperRestoreTest, LogoutPutsTheFileBackByteForByte) {
    CNetHelper helper(path.c_str(), saved.c_str());
    EXPECT_EQ(helper.RestoreDNSServers(), 0);  // nothing rewritten: nothing to do
    EXPECT_EQ(readFile(path), original);

    ASSERT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), 0);
    EXPECT_EQ(readFile(path),
              "# written by the network manager\nnameserver 10.1.1.1\nnameserver 10.1.1.2\n"
              "options timeout:2 attempts:3\nsearch campus.example lan\n");
    struct stat st;
    ASSERT_EQ(lstat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(saved), original);
    ASSERT_EQ(lstat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second application (a state query adopting the login) keeps the first saved text.
    ASSERT_EQ(Apply(helper, "10.0.0.1", ""), 0);
    EXPECT_NE(readFile(path).find("nameserver 10.0.0.1\n"), std::string::npos);
    EXPECT_EQ(readFile(saved), original);
    EXPECT_TRUE(helper.HasSavedServers());

    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(std::filesystem::exists(saved));
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_FALSE(helper.HasSavedServers());
}

// Servers the address check refuses, a third server and unusual spacing all come back.
TEST_F(NetHelperRestoreTest, ServersTheCheckRefusesComeBackToo) {
    const std::string odd =
        "nameserver fe80::1%eth0\nnameserver\t0.0.0.0\nnameserver 9.9.9.9\r\nsearch x";
    ASSERT_TRUE(writeFile(path, odd));
    CNetHelper helper(path.c_str(), nullptr);  // memory only
    ASSERT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), 0);
    EXPECT_EQ(readFile(path), "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch x");
    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), odd);
}

// A service killed while logged in: a new process (a new helper) finds the saved copy.
TEST_F(NetHelperRestoreTest, NextStartRestoresAfterAKill) {
    {
        CNetHelper killed(path.c_str(), saved.c_str());
        ASSERT_EQ(Apply(killed, "10.1.1.1", "10.1.1.2"), 0);
    }
    ASSERT_NE(readFile(path), original);
    CNetHelper next(path.c_str(), saved.c_str());
    EXPECT_TRUE(next.HasSavedServers());
    // Even a login before the restore must not take the portal's file for the machine's own.
    ASSERT_EQ(Apply(next, "10.3.3.3", ""), 0);
    EXPECT_EQ(readFile(saved), original);
    EXPECT_EQ(next.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(std::filesystem::exists(saved));
}

TEST_F(NetHelperRestoreTest, NoRewriteWithoutASavedCopy) {
    CNetHelper helper(path.c_str(), dir.file("missing/resolv.saved").c_str());
    EXPECT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), ENOENT);
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(helper.HasSavedServers());
}

// A saved copy that another user could have placed (here a link to a file of theirs) is never
// written into the resolver file, and the next save replaces the link, not its target.
TEST_F(NetHelperRestoreTest, PlantedSavedCopyIsIgnored) {
    const std::string planted = dir.file("planted");
    ASSERT_TRUE(writeFile(planted, "nameserver 6.6.6.6\n"));
    ASSERT_EQ(symlink(planted.c_str(), saved.c_str()), 0);
    CNetHelper helper(path.c_str(), saved.c_str());
    EXPECT_FALSE(helper.HasSavedServers());
    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), original);

    ASSERT_EQ(Apply(helper, "10.1.1.1", ""), 0);
    EXPECT_EQ(readFile(planted), "nameserver 6.6.6.6\n");
    EXPECT_FALSE(std::filesystem::is_symlink(saved));
    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), original);
}

// ---- A restore undoes only the service's own change ---------------------------------------------

// What becomes of the file between the login's rewrite and its end, and who restores it.
struct RestoreCase {
    const char* name;
    bool managerRewrites;  // a network manager writes its own text during the login
    bool rewriteAgain;     // then the service rewrites again, with other servers
    bool recordLost;       // the digests of what was written are gone
    bool restarted;        // the restore comes from the next run (this one was killed)
    enum { kOriginal, kManager, kUnchanged } expected;
};
// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const RestoreCase& c, std::ostream* os) {
    *os << c.name;
}

class NetHelperRestoreRuleTest : public NetHelperRestoreTest,
                                 public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(NetHelperRestoreRuleTest, OnlyTheServicesOwnTextIsUndone) {
    const RestoreCase& c = GetParam();
    const std::string manager = "# from the network manager\nnameserver 172.16.0.1\n";
    auto helper = std::make_unique<CNetHelper>(path.c_str(), saved.c_str());
    ASSERT_EQ(Apply(*helper, "10.1.1.1", "10.1.1.2"), 0);
    if (c.managerRewrites) {
        ASSERT_TRUE(writeFile(path, manager));
    }
    if (c.rewriteAgain) {
        const std::string before = readFile(path);
        ASSERT_EQ(Apply(*helper, "10.0.0.1", ""), 0);
        ASSERT_NE(readFile(path), before);
    }
    if (c.recordLost)
        std::filesystem::remove(record);
    if (c.restarted)
        helper = std::make_unique<CNetHelper>(path.c_str(), saved.c_str());
    const std::string atTheEnd = readFile(path);

    EXPECT_EQ(helper->RestoreDNSServers(), 0);
    const std::string expected = c.expected == RestoreCase::kOriginal  ? original
                                 : c.expected == RestoreCase::kManager ? manager
                                                                       : atTheEnd;
    EXPECT_EQ(readFile(path), expected);
    // Whatever the outcome, the rewrite is over: nothing is left to apply at a later start.
    EXPECT_FALSE(std::filesystem::exists(saved));
    EXPECT_FALSE(std::filesystem::exists(record));
    EXPECT_FALSE(helper->HasSavedServers());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NetHelperRestoreRuleTest,
    ::testing::Values(
        RestoreCase{"OwnRewrite", false, false, false, false, RestoreCase::kOriginal},
        RestoreCase{"OwnRewriteAfterAKill", false, false, false, true, RestoreCase::kOriginal},
        RestoreCase{"TwoOwnRewritesAfterAKill", false, true, false, true, RestoreCase::kOriginal},
        RestoreCase{"ManagerRewrote", true, false, false, false, RestoreCase::kManager},
        RestoreCase{"ManagerRewroteBeforeAKill", true, false, false, true, RestoreCase::kManager},
        // The service's later rewrite went over the manager's text: that text comes back.
        RestoreCase{"OwnRewriteOverTheManagers", true, true, false, false, RestoreCase::kManager},
        RestoreCase{"OwnRewriteOverTheManagersAfterAKill", true, true, false, true,
                    RestoreCase::kManager},
        // A saved copy whose rewrite cannot be proved (a crash between the two saves) is
        // never applied.
        RestoreCase{"CopyWithoutRecord", false, false, true, true, RestoreCase::kUnchanged}),
    [](const ::testing::TestParamInfo<RestoreCase>& info) { return info.param.name; });

// The process is ending: a rewrite that comes after the last restore would outlive it.
TEST_F(NetHelperRestoreTest, NoRewriteOnceTheProcessEnds) {
    CNetHelper helper(path.c_str(), saved.c_str());
    ASSERT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), 0);
    helper.RefuseRewrites();
    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), ECANCELED);
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(std::filesystem::exists(saved));
}

// The resolver file cannot be read at the end: the copy is kept for the next try.
TEST_F(NetHelperRestoreTest, UnreadableFileKeepsTheCopy) {
    CNetHelper helper(path.c_str(), saved.c_str());
    ASSERT_EQ(Apply(helper, "10.1.1.1", "10.1.1.2"), 0);
    const std::string portal = readFile(path);
    ASSERT_EQ(std::rename(path.c_str(), (path + ".away").c_str()), 0);
    EXPECT_EQ(helper.RestoreDNSServers(), ENOENT);
    EXPECT_TRUE(std::filesystem::exists(saved));
    ASSERT_EQ(std::rename((path + ".away").c_str(), path.c_str()), 0);
    EXPECT_EQ(helper.RestoreDNSServers(), 0);
    EXPECT_EQ(readFile(path), original);
}

TEST(NetHelperAddressTest, ReasonCodes) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},
        {"10.1.1.1", 0},
        {"255.255.255.255", 0},
        {"1.2.3", 1},
        {"1.2.3.4.5.6.7.89", 1},
        {"1234567", 2},
        {"1.2.3.4.5", 2},
        {"1.2.3.1000", 3},
        {"1.2.a.4", 4},
        {"1..2.34", 4},
        {"10.0.0.1", 0},
        {"10.0.0.0", 0},
        {"0.1.1.1", 5},
        {"1.2.3.256", 5},
        {"1.2.256.4", 5},
        {"::1", 0},
        {"2001:db8::1", 0},
        {"fe80::", 0},
        {"::", 6},
        {"1111:2222:3333:4444:5555:6666:7777:88889", 6},
        {"2001:db8::g", 7},
        {"1:2", 8},
        {"1:2:3:", 8},
        {"1::2::3", 8},
        {"1:2:3:4:5:6:7:8:9", 8},
        {"12345::1", 9},
    };
    for (const auto& [address, code] : cases) {
        EXPECT_EQ(CNetHelper::IsValidAddress(address), code) << address;
    }
}

}  // namespace
