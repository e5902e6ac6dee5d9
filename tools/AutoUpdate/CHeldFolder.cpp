#include "CHeldFolder.h"

#include "CInstallationCheck.h"

#include "CSimpleFile.h"
#include "CUniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>

namespace {

constexpr int kWalk = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

// The names in dir (a real, readable descriptor is opened for the listing).
bool List(int dir, std::vector<std::string>& names) {
    const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, DirClose> listing(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!listing) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return true;
}

}  // namespace

int CHeldFolder::OpenBelow(int dir, const std::string& rel, mode_t mode,
                           std::vector<std::string>* made) {
    CUniqueFd at(fcntl(dir, F_DUPFD_CLOEXEC, 0));
    std::string walked;
    for (const std::string& part : CInstallationCheck::Components(rel)) {
        if (at.get() < 0)
            return -1;
        if (part == "..") {
            errno = EPERM;
            return -1;
        }
        walked += (walked.empty() ? "" : "/") + part;
        int next = openat(at.get(), part.c_str(), kWalk);
        if (next < 0 && errno == ENOENT && made != nullptr &&
            mkdirat(at.get(), part.c_str(), mode) == 0) {
            made->push_back(walked);
            next = openat(at.get(), part.c_str(), kWalk);
        }
        at.Reset(next);
    }
    return at.Release();
}

int CHeldFolder::OpenParent(int dir, const std::string& rel, std::string& leaf, mode_t mode,
                            std::vector<std::string>* made) {
    const size_t slash = rel.rfind('/');
    leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        errno = EINVAL;
        return -1;
    }
    return OpenBelow(dir, slash == std::string::npos ? "" : rel.substr(0, slash), mode, made);
}

bool CHeldFolder::ReadCapped(int dir, const std::string& name, size_t cap, std::string& bytes,
                             std::string& why) {
    CUniqueFd fd(CSimpleFile::OpenSingleLink(dir, name.c_str(), O_RDONLY));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        why = errno == EMLINK ? "has more than one link" : "cannot be opened as a regular file";
        return false;
    }
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > cap) {
        why = "is larger than " + std::to_string(cap) + " bytes";
        return false;
    }
    std::string data;
    std::string chunk(64 * 1024, '\0');
    for (;;) {
        const ssize_t n = read(fd.get(), &chunk[0], chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = "cannot be read";
            return false;
        }
        if (n == 0)
            break;
        // It may grow after the look at its size; the cap holds all the same.
        if (data.size() + static_cast<size_t>(n) > cap) {
            why = "is larger than " + std::to_string(cap) + " bytes";
            return false;
        }
        data.append(chunk, 0, static_cast<size_t>(n));
    }
    bytes.swap(data);
    return true;
}

bool CHeldFolder::Append(int dir, const std::string& name, const std::string& line) {
    CUniqueFd fd(
        CSimpleFile::OpenSingleLink(dir, name.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    return fd.get() >= 0 && CSimpleFile::WriteAll(fd.get(), line.data(), line.size());
}

bool CHeldFolder::Remove(int dir, const std::string& name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
    CUniqueFd below(openat(dir, name.c_str(), kWalk));
    const bool emptied = below.get() >= 0 && Clear(below.get());
    return emptied && (unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT);
}

bool CHeldFolder::Clear(int dir) {
    std::vector<std::string> names;
    if (!List(dir, names))
        return false;
    bool all = true;
    for (const std::string& name : names)
        all = Remove(dir, name) && all;
    return all;
}

std::string CHeldFolder::MakeTemp(int dir, const std::string& prefix) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 pick(seed());
    std::uniform_int_distribution<size_t> index(0, sizeof kChars - 2);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i)
            name += kChars[index(pick)];
        if (mkdirat(dir, name.c_str(), 0700) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    return std::string();
}

std::string CHeldFolder::PathVia(int dir, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(dir) + "/" + name;
}
