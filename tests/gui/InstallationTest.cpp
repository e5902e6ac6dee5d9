// `cmake --install` of this build tree: the layout of the installation, who may write to it, the
// private stores, and the desktop entry and polkit policy that start the client as root in
// the installation. Installs under DESTDIR into a temporary folder, so nothing of the machine's
// own desktop or polkit set-up is touched whatever the build's options.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <libxml/parser.h>

#include "TestSupport.h"

using namespace orvane_test;
namespace fs = std::filesystem;

namespace {

const std::string kPrefix = "/opt/orvane campus";  // a blank, as in many home folders

// Runs cmake --install for prefix under destDir; the exit status, output in log. Every rule is
// in the default component; naming it makes the install write its own manifest and leave the
// build tree's install_manifest.txt, which a real installation's uninstall may rely on, alone.
int Install(const std::string& destDir, const std::string& prefix, const std::string& log) {
    const std::string command =
        "umask 0; DESTDIR='" + destDir + "' '" ORVANE_CMAKE_COMMAND "' --install '" +
        ORVANE_BINARY_DIR "' --component Unspecified --prefix '" + prefix + "' >'" + log + "' 2>&1";
    return std::system(command.c_str());
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, n);
    const int status = pclose(pipe);
    return out + "exit " + std::to_string(WEXITSTATUS(status));
}

class InstallationTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A careless earlier set-up: the folders exist, open to everyone, and every file the
        // install makes would be too (umask 0).
        std::filesystem::create_directories(Root() + "/conf");
        chmod(Root().c_str(), 0777);
        chmod((Root() + "/conf").c_str(), 0777);
        ASSERT_EQ(0, Install(dest.path(), kPrefix, dest.file("install.log")))
            << readFile(dest.file("install.log"));
    }
    std::string Root() const { return dest.path() + kPrefix; }

    TempDir dest;
};

TEST_F(InstallationTest, LaysOutProgramsAndConfigurationOwnedByRootAndWritableByNoOneElse) {
    for (const char* name : {"OrvaneSvr", "client", "AutoUpdate"}) {
        const fs::path p = Root() + "/" + name;
        EXPECT_TRUE(fs::is_regular_file(p)) << p;
        EXPECT_EQ(0, access(p.c_str(), X_OK)) << p;
    }
    for (const char* name : {"zuvUzarod.zxm", "conf/conf.xml", "conf/client.xml", "conf/code.xml"})
        EXPECT_TRUE(fs::is_regular_file(Root() + "/" + name)) << name;

    for (const auto& entry : fs::recursive_directory_iterator(dest.path() + "/opt")) {
        struct stat st {};
        ASSERT_EQ(0, lstat(entry.path().c_str(), &st));
        EXPECT_EQ(0u, st.st_mode & (S_IWGRP | S_IWOTH)) << entry.path();
        if (geteuid() == 0) {
            EXPECT_EQ(0u, st.st_uid) << entry.path();
        }
    }
    // The client's store keeps the password, the service's the session ticket.
    for (const char* name : {"conf/client.xml", "conf/conf.xml"}) {
        struct stat store {};
        ASSERT_EQ(0, stat((Root() + "/" + name).c_str(), &store)) << name;
        EXPECT_EQ(0600u, store.st_mode & 07777) << name;
    }
    // The window is started as the desktop user; nothing is left that would start it as root.
    EXPECT_FALSE(fs::exists(Root() + "/start-client"));
}

// The desktop entry starts the window as the user who chose it, in the installation; only the
// installer is an administrator's action.
TEST_F(InstallationTest, DesktopEntryStartsTheWindowAsTheUserAndThePolicyCoversTheInstaller) {
    const std::string entry = Root() + "/share/applications/orvane-client.desktop";
    const std::string validation = Shell("desktop-file-validate '" + entry + "' 2>&1");
    EXPECT_EQ("exit 0", validation);
    const std::string entryText = readFile(entry);
    EXPECT_NE(std::string::npos, entryText.find("\nExec=\"" + kPrefix + "/client\"\n"))
        << entryText;
    EXPECT_NE(std::string::npos, entryText.find("\nPath=" + kPrefix + "\n")) << entryText;
    EXPECT_EQ(std::string::npos, entryText.find("pkexec")) << entryText;
    // The icon is named by theme name, so it must lie where a theme lookup finds it.
    const std::size_t icon = entryText.find("\nIcon=");
    ASSERT_NE(std::string::npos, icon) << entryText;
    const std::size_t nameStart = icon + 6;
    const std::string iconName =
        entryText.substr(nameStart, entryText.find('\n', nameStart) - nameStart);
    EXPECT_TRUE(
        fs::is_regular_file(Root() + "/share/icons/hicolor/scalable/apps/" + iconName + ".svg"))
        << iconName;

    const std::string policy = Root() + "/share/polkit-1/actions/org.orvane.update.policy";
    xmlDocPtr doc = xmlReadFile(policy.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOWARNING);
    EXPECT_NE(nullptr, doc) << "the policy is not well-formed XML";
    xmlFreeDoc(doc);
    const std::string text = readFile(policy);
    EXPECT_NE(std::string::npos, text.find("<action id=\"org.orvane.update\">"));
    EXPECT_NE(std::string::npos,
              text.find("<annotate key=\"org.freedesktop.policykit.exec.path\">" + kPrefix +
                        "/AutoUpdate</annotate>"));
    EXPECT_NE(std::string::npos, text.find("<allow_active>auth_admin_keep</allow_active>"));
    EXPECT_NE(
        std::string::npos,
        text.find("<annotate key=\"org.freedesktop.policykit.exec.allow_gui\">true</annotate>"));
}

TEST(InstallationPrefixTest, RefusesAPrefixThatWouldNeedQuotingInTheLauncher) {
    TempDir dest;
    EXPECT_NE(0, Install(dest.path(), "/opt/or$vane", dest.file("install.log")));
    EXPECT_NE(std::string::npos,
              readFile(dest.file("install.log")).find("must be an absolute path"));
    EXPECT_FALSE(fs::exists(dest.path() + "/opt")) << "something was installed all the same";
}

}  // namespace
