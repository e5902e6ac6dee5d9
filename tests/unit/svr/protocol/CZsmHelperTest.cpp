// Algorithm module loader: containers made by the packer, by the xz command, and damaged ones.
#include "CZsmHelper.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CLog.h"
#include "CZxmContainer.h"
#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

bool pathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Header bytes in the container layout, written here independently of the packer.
std::string containerHeader(const std::string& keyid, const std::string& key,
                            const std::string& algoid, const std::string& props, uint32_t size) {
    std::string out = keyid;
    out += static_cast<char>(key.size());
    out += key;
    out += static_cast<char>(algoid.size());
    out += algoid;
    out += props;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((size >> (8 * i)) & 0xff);
    return out;
}

// Offset of the compressed stream in a container made by the build's packer.
size_t streamOffset(const std::string& container) {
    const size_t k = static_cast<unsigned char>(container[3]);
    const size_t a = static_cast<unsigned char>(container[4 + k]);
    return 14 + k + a;
}

struct Owned {
    explicit Owned(char* p) : p(p) {}
    ~Owned() { CZsmHelper::FreeResult(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    std::string str() const { return p ? p : "<null>"; }
    char* p;
};

class ZsmHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        zsm->SetHostPath(ORVANE_ZSM_HOST);
        zsm->Init(container.c_str(), nullptr, 0);
    }
    void TearDown() override { zsm->Release(); }
    void install(const std::string& bytes) { ASSERT_TRUE(writeFile(container, bytes)); }
    void expectNoModule() {
        EXPECT_EQ(zsm->GetAlgoId(), CZsmHelper::kNoAlgoId);
        Owned coded(zsm->Code("<request/>"));
        EXPECT_EQ(coded.str(), CZsmHelper::kCodeFallback);
        Owned plain(zsm->DeCode("ZX00"));
        EXPECT_EQ(plain.p, nullptr);
    }
    std::string roundTrip(const std::string& text) {
        Owned coded(zsm->Code(text.c_str()));
        Owned plain(zsm->DeCode(coded.p));
        return plain.str();
    }

    TempDir dir;
    std::string container = dir.file("zuvUzarod.zxm");
    CZsmHelper* zsm = CZsmHelper::GetInst();
    const std::string packed = readFile(ORVANE_ZXM_CONTAINER);
    const std::string second = readFile(ORVANE_ZXM_SECOND);
};

TEST_F(ZsmHelperTest, PackedContainerRoundTripsAndReportsItsIdentifier) {
    install(packed);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);
    const std::string doc = "<request><user>测试账号</user><n>1&amp;2</n></request>";
    Owned coded(zsm->Code(doc.c_str()));
    ASSERT_NE(coded.p, nullptr);
    EXPECT_NE(coded.str(), CZsmHelper::kCodeFallback);
    EXPECT_EQ(coded.str().find(doc), std::string::npos) << "plain text visible in the coded body";
    for (const char* c = coded.p; *c; ++c)
        EXPECT_TRUE(isprint(static_cast<unsigned char>(*c)));
    Owned plain(zsm->DeCode(coded.p));
    EXPECT_EQ(plain.str(), doc);
    EXPECT_EQ(roundTrip(""), "");
    EXPECT_EQ(roundTrip(std::string(100000, 'x')), std::string(100000, 'x'));
    // The module is handed over in memory: nothing but the container is in its folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(ZsmHelperTest, ContainerBuiltWithXzLoads) {
    TempDir work;
    const std::string stream = work.file("module.lzma");
    const std::string cmd = std::string("xz --format=raw --lzma1=preset=6 -c '") +
                            ORVANE_ZXM_MODULE + "' > '" + stream + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string body = readFile(stream);
    ASSERT_FALSE(body.empty());
    for (size_t i = 0; i + 1 < body.size(); ++i)
        body[i] = static_cast<char>(body[i] ^ body[i + 1]);
    const std::string props("\x5d\x00\x00\x80\x00", 5);  // lc=3 lp=0 pb=2, 8 MiB dictionary
    const auto size = static_cast<uint32_t>(readFile(ORVANE_ZXM_MODULE).size());
    // The unpatched module carries the default key, which is also the build container's key.
    install(containerHeader("D01", "orvane-development-key", "independent-id", props, size) + body);
    EXPECT_EQ(zsm->GetAlgoId(), "independent-id");
    Owned coded(zsm->Code("<a>1</a>"));
    EXPECT_EQ(std::string(coded.p).rfind("ZX", 0), 0u);
    Owned plain(zsm->DeCode(coded.p));
    EXPECT_EQ(plain.str(), "<a>1</a>");
}

TEST_F(ZsmHelperTest, MissingEmptyAndTruncatedContainersGiveTheFallbacks) {
    expectNoModule();  // no file at all
    install("");
    expectNoModule();
    const size_t off = streamOffset(packed);
    for (size_t cut : {size_t(2), size_t(3), size_t(10), off - 5, off - 1, off, off + 1,
                       off + (packed.size() - off) / 2, packed.size() - 1}) {
        SCOPED_TRACE(cut);
        install(packed.substr(0, cut));
        expectNoModule();
    }
}

TEST_F(ZsmHelperTest, LengthsAndSizesThatDoNotFitAreRefused) {
    const size_t off = streamOffset(packed);
    const std::string props = packed.substr(off - 9, 5);
    const std::string stream = packed.substr(off);
    const auto size = static_cast<uint32_t>(readFile(ORVANE_ZXM_MODULE).size());
    // A key length byte that points past the end of the file.
    install(std::string("D01\xff", 4) + "short");
    expectNoModule();
    for (uint32_t declared : {0u, size + 1, CZxmContainer::kMaxUnpacked + 1, 0xffffffffu}) {
        SCOPED_TRACE(declared);
        install(containerHeader("D01", "orvane-development-key", "x", props, declared) + stream);
        expectNoModule();
    }
    // An identifier that would break the header line it travels in.
    install(containerHeader("D01", "orvane-development-key", "id\r\nX-Injected:1", props, size) +
            stream);
    expectNoModule();
    // A forged 4 GiB dictionary is capped, not allocated: the container still loads.
    install(containerHeader("D01", "orvane-development-key", "big-dict",
                            std::string("\x5d\xff\xff\xff\xff", 5), size) +
            stream);
    EXPECT_EQ(zsm->GetAlgoId(), "big-dict");
}

TEST_F(ZsmHelperTest, WrongScrambleOrForeignObjectGivesTheFallbacks) {
    const size_t off = streamOffset(packed);
    std::string plainStream = packed.substr(off);
    CZxmContainer::Unscramble(reinterpret_cast<unsigned char*>(&plainStream[0]),
                              plainStream.size());
    install(packed.substr(0, off) + plainStream);  // stream stored without the byte chain
    expectNoModule();
    std::string flipped = packed;
    flipped[off + 40] = static_cast<char>(flipped[off + 40] ^ 0x5a);
    install(flipped);
    expectNoModule();
    // Unpacks fine but is no shared object: the dynamic loader refuses it.
    const std::string junk(4000, 'j');
    const std::string pack =
        std::string(ORVANE_ZXM_PACK) + " '" + dir.file("junk.bin") + "' '" + container + "'";
    ASSERT_TRUE(writeFile(dir.file("junk.bin"), junk));
    ASSERT_EQ(std::system(pack.c_str()), 0);
    expectNoModule();
}

TEST_F(ZsmHelperTest, ModuleWithoutTheExportsGivesTheFallbacks) {
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&std::cos)), &info),
              0);
    const std::string pack = std::string(ORVANE_ZXM_PACK) + " '" + info.dli_fname + "' '" +
                             container + "' --algoid libm-id";
    ASSERT_EQ(std::system(pack.c_str()), 0);
    EXPECT_EQ(zsm->GetAlgoId(), "libm-id");  // the module itself loads
    Owned coded(zsm->Code("<a/>"));
    EXPECT_EQ(coded.str(), CZsmHelper::kCodeFallback);
    Owned plain(zsm->DeCode("ZX00"));
    EXPECT_EQ(plain.p, nullptr);
}

TEST_F(ZsmHelperTest, TextsCodedUnderOneKeyDoNotDecodeUnderAnother) {
    install(packed);
    Owned coded(zsm->Code("<secret/>"));
    install(second);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_SECOND_ALGOID);
    Owned plain(zsm->DeCode(coded.p));
    EXPECT_EQ(plain.p, nullptr);
    Owned damaged(zsm->DeCode((std::string(coded.p).substr(0, 20) + "zz").c_str()));
    EXPECT_EQ(damaged.p, nullptr);
}

// The service has no terminal when the window starts it: loader failures belong in its log, as
// errors, so they are written even when the log keeps nothing else.
TEST_F(ZsmHelperTest, FailuresAreLoggedAsErrorsInTheServiceLog) {
    CLog* log = CLog::GetInst();
    const int level = log->GetLevel();
    ASSERT_EQ(0, log->Create(dir.path().c_str(), "Info.log", ""));
    log->SetLevel(CLog::ERROR);
    install(packed);
    Owned coded(zsm->Code("<secret/>"));
    install(second);
    testing::internal::CaptureStderr();
    Owned plain(zsm->DeCode(coded.p));
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string text = readFile(log->GetPath());
    log->Close();
    log->SetLevel(level);
    EXPECT_EQ(plain.p, nullptr);
    EXPECT_NE(text.find("zsm Prepare err "), std::string::npos) << text;
    EXPECT_EQ(err.find("zsm"), std::string::npos) << err;
}

TEST_F(ZsmHelperTest, UpdateReplacesTheContainerAndRefusesGarbage) {
    install(packed);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);
    EXPECT_EQ(zsm->Update(nullptr, 10), 0);
    EXPECT_EQ(zsm->Update("not a container", 15), -1);
    EXPECT_EQ(readFile(container), packed) << "a refused body must leave the container alone";
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);

    EXPECT_EQ(zsm->Update(second.data(), second.size()), 1);
    EXPECT_EQ(readFile(container), second);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_SECOND_ALGOID);
    EXPECT_EQ(roundTrip("<after-update/>"), "<after-update/>");
    EXPECT_FALSE(pathExists(container + ".new"));

    // A container replaced behind the loader's back is noticed too.
    ASSERT_TRUE(writeFile(container + ".tmp", packed));
    ASSERT_EQ(rename((container + ".tmp").c_str(), container.c_str()), 0);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);

    zsm->Init(dir.file("no-such-dir/zuvUzarod.zxm").c_str(), nullptr, 0);
    EXPECT_EQ(zsm->Update(second.data(), second.size()), -1);
}

TEST_F(ZsmHelperTest, MissingHelperProgramMeansNoModule) {
    install(packed);
    zsm->SetHostPath(dir.file("missing").c_str());
    expectNoModule();
    // A file that is no program: the child cannot execute it and the load fails.
    ASSERT_TRUE(writeFile(dir.file("not-a-program"), "#!/bin/sh\n"));
    zsm->SetHostPath(dir.file("not-a-program").c_str());
    expectNoModule();
    zsm->SetHostPath(ORVANE_ZSM_HOST);
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);
}

TEST_F(ZsmHelperTest, RenewalLeavesFilesPlantedAtTheOldTemporaryNameAlone) {
    install(packed);
    ASSERT_EQ(chmod(container.c_str(), 0644), 0);
    const std::string victim = dir.file("victim");
    ASSERT_TRUE(writeFile(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), (container + ".new").c_str()), 0);
    EXPECT_EQ(zsm->Update(second.data(), second.size()), 1);
    EXPECT_EQ(readFile(container), second);
    EXPECT_EQ(readFile(victim), "keep me");
    struct stat st;
    ASSERT_EQ(lstat((container + ".new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the planted link was removed or replaced";
    ASSERT_EQ(lstat(container.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "the renewed container keeps the installed mode";
    // Nothing of the renewal is left beside the container.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        entries += entry.path().filename().string().rfind("zuvUzarod.zxm", 0) == 0 ? 1 : 0;
    EXPECT_EQ(entries, 2u);
}

TEST_F(ZsmHelperTest, ConcurrentCallersEachGetTheirOwnText) {
    install(packed);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string doc = "<t" + std::to_string(t) + ">" + std::to_string(i) + "</t>";
                if (roundTrip(doc) != doc)
                    ++failures[t];
                if (i % 10 == 0 && zsm->GetAlgoId() != ORVANE_ZXM_ALGOID)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

}  // namespace
