// Helpers shared by the test programs: a private temporary folder per test and bounded waits.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace orvane_test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvane-test-XXXXXX";
        char* made = mkdtemp(tmpl.data());
        path_ = made ? made : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls pred every few milliseconds until it holds or the timeout passes; returns its last value.
template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(step);
    }
    return pred();
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Takes the group's and others' write permission from path and everything below it (links are
// left alone), as an installation must be for the programs to accept it whatever the umask.
inline void removeGroupOtherWrite(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::perms drop = fs::perms::group_write | fs::perms::others_write;
    if (!fs::is_symlink(path, ec))
        fs::permissions(path, drop, fs::perm_options::remove, ec);
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink(ec))
            fs::permissions(it->path(), drop, fs::perm_options::remove, ec);
    }
}

inline bool writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

// How often thread tid of process pid has gone to sleep and been woken since it started (its
// voluntary context switches); -1 when the thread is gone.
inline long wakeupsOf(long pid, long tid) {
    std::istringstream in(
        readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status"));
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0)
            return std::atol(line.c_str() + key.size());
    }
    return -1;
}

}  // namespace orvane_test
