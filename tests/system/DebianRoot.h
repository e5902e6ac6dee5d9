// The Debian root the system test boots: made once with mmdebstrap into a tar file in the cache
// folder, beside a stamp of what went into it (suite, package list, mmdebstrap's version, the
// host's Debian sources), and made again only when one of those changes. Each run unpacks a fresh
// copy, so nothing a run did to its machine carries over to the next.
//
// The container reaches no mirror from inside the test network, so the packages under test must
// find every dependency already installed: the caller adds their dependencies to the list.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SystemCommand.h"
#include "TestSupport.h"

namespace orvane_system {

class DebianRoot {
public:
    static constexpr const char* kSuite = "bookworm";

    // What every run needs besides the packages' dependencies: a booting systemd with the
    // resolver service, the tools the scenarios drive, and an X server with a CJK font for the
    // window.
    static std::vector<std::string> BasePackages() {
        return {"systemd",         "systemd-sysv", "dbus", "systemd-resolved", "libpam-systemd",
                "iproute2",        "procps",       "xvfb", "xdotool",          "imagemagick",
                "fonts-wqy-zenhei"};
    }

    DebianRoot(std::string cacheDir, const std::vector<std::string>& packages)
        : m_cache(std::move(cacheDir)), m_packages(packages.begin(), packages.end()) {}

    std::string TarPath() const { return m_cache + "/root.tar"; }

    // Makes the tar file unless the stamp says the one there is of the same inputs; false with
    // why on failure (mmdebstrap's own words).
    bool Ensure(std::string& why) {
        std::error_code ec;
        std::filesystem::create_directories(m_cache, ec);
        const std::string stamp = Stamp();
        if (std::filesystem::exists(TarPath()) && orvane_test::readFile(StampPath()) == stamp) {
            std::cout << "[ system ] root reused: " << TarPath() << "\n";
            return true;
        }
        std::filesystem::remove(StampPath(), ec);
        const std::string partial = TarPath() + ".part";
        const CommandResult made = runCommand(MmdebstrapLine(partial), std::chrono::minutes(15));
        if (!made.ok()) {
            why = "mmdebstrap failed (status " + std::to_string(made.status) + "):\n" +
                  Tail(made.Text());
            std::filesystem::remove(partial, ec);
            return false;
        }
        std::filesystem::rename(partial, TarPath(), ec);
        if (ec || !orvane_test::writeFile(StampPath(), stamp)) {
            why = "cannot keep " + TarPath();
            return false;
        }
        return true;
    }

    // Unpacks a fresh copy into dir (made here, empty).
    bool Unpack(const std::string& dir, std::string& why) const {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        const CommandResult r = runCommand({"tar", "--numeric-owner", "-xpf", TarPath(), "-C", dir},
                                           std::chrono::minutes(5));
        if (!r.ok())
            why = "cannot unpack " + TarPath() + ": " + Tail(r.Text());
        return r.ok();
    }

private:
    std::string StampPath() const { return m_cache + "/root.stamp"; }

    std::string Stamp() const {
        std::string s = std::string("suite ") + kSuite + "\npackages";
        for (const std::string& p : m_packages)
            s += " " + p;
        const CommandResult version =
            runCommand({"mmdebstrap", "--version"}, std::chrono::seconds(30));
        s += "\nmmdebstrap " + version.out + "hooks " + std::to_string(kHooksRevision) + "\n";
        for (const std::string& file : SourceFiles())
            s += "sources " + file + "\n" + orvane_test::readFile(file);
        return s;
    }

    std::vector<std::string> MmdebstrapLine(const std::string& target) const {
        std::string include;
        for (const std::string& p : m_packages)
            include += (include.empty() ? "" : ",") + p;
        std::vector<std::string> line = {
            "mmdebstrap", "--variant=apt", "--format=tar", "--include=" + include,
            // The resolver service owns /etc/resolv.conf on such a machine; mmdebstrap puts the
            // host's file back at the end, which would leave it unowned.
            "--customize-hook=ln -sf ../run/systemd/resolve/stub-resolv.conf "
            "\"$1/etc/resolv.conf\"",
            kSuite, target};
        for (const std::string& file : SourceFiles())
            line.push_back(file);
        return line;
    }

    // The host's apt source files that name the suite (or its updates and security suites), so
    // the root comes from the mirror the host uses; none means mmdebstrap's own default.
    static std::vector<std::string> SourceFiles() {
        std::vector<std::string> files;
        std::error_code ec;
        if (std::filesystem::exists("/etc/apt/sources.list", ec))
            files.push_back("/etc/apt/sources.list");
        for (const auto& e : std::filesystem::directory_iterator("/etc/apt/sources.list.d", ec)) {
            const std::string ext = e.path().extension();
            if (ext == ".list" || ext == ".sources")
                files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [](const std::string& f) { return !NamesSuite(f); }),
                    files.end());
        return files;
    }
    static bool NamesSuite(const std::string& file) {
        std::istringstream in(orvane_test::readFile(file));
        const std::string suite = kSuite;
        for (std::string word; in >> word;) {
            if (word == suite || word.rfind(suite + "-", 0) == 0)
                return true;
        }
        return false;
    }
    static std::string Tail(const std::string& text) {
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

    // Raised whenever the customize hooks change, so an older root is made again.
    static constexpr int kHooksRevision = 1;

    std::string m_cache;
    std::set<std::string> m_packages;  // sorted, so the stamp does not depend on their order
};

}  // namespace orvane_system
