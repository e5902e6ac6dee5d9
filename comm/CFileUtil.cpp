#include "CFileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "CSimpleFile.h"
#include "CUniqueFd.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string WithSlash(const char* path) {
    std::string s(path);
    if (s.empty() || s.back() != '/')
        s += '/';
    return s;
}

bool CopyBytes(int from, int to) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!CSimpleFile::WriteAll(to, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

// Removes path and, for a real directory, everything below it. Links are never followed.
int RemovePath(const char* path) {
    if (path == nullptr || *path == '\0')
        return -1;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path), ec);
    struct stat st;
    return (::lstat(path, &st) != 0 && errno == ENOENT) ? 0 : -1;
}

}  // namespace

int CFileUtil::CopyFile(const char* source, const char* destination, bool failIfExists) {
    if (source == nullptr || destination == nullptr)
        return -1;
    if (failIfExists && IfExistFile(destination))
        return -1;
    CUniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::printf("Source file open failure.");
        std::fflush(stdout);
        return -1;
    }
    struct stat dst;
    if (::stat(destination, &dst) == 0 && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) {
        return -1;  // truncating the destination would destroy the source
    }
    // A link at the destination is refused rather than followed to wherever it points.
    CUniqueFd out(::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                         st.st_mode & 0777));
    if (out.get() < 0) {
        std::printf("Destination file open failure.");
        std::fflush(stdout);
        return -1;
    }
    const bool copied = CopyBytes(in.get(), out.get());
    return out.Close() && copied ? 0 : -1;
}

int CFileUtil::CopyAllFile(const char* sourceDir, const char* destDir, bool failIfExists) {
    if (sourceDir == nullptr || destDir == nullptr)
        return -1;
    const std::string from = WithSlash(sourceDir);
    const std::string to = WithSlash(destDir);
    if (!IfExistFile(to.c_str())) {
        CreateDir(to.c_str());
        if (!IfExistDir(to.c_str()))
            return -1;
    } else if (failIfExists) {
        return -1;
    }
    DirPtr dir(::opendir(from.c_str()));
    if (!dir)
        return -1;
    while (const struct dirent* entry = ::readdir(dir.get())) {
        const std::string name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st;
        const std::string src = from + name;
        const bool isDir = ::lstat(src.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        const int rc = isDir ? CopyAllFile(src.c_str(), (to + name).c_str(), failIfExists)
                             : CopyFile(src.c_str(), (to + name).c_str(), failIfExists);
        if (rc != 0)
            return rc;
    }
    return 0;
}

int CFileUtil::CreateDir(const char* path) {
    if (path == nullptr || *path == '\0')
        return 0;
    const std::string full = WithSlash(path);
    // Every prefix is tried even after a failure: an existing or unreachable parent is no reason
    // to stop, and the caller checks the result itself.
    for (size_t pos = full.find('/', 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
        ::mkdir(full.substr(0, pos).c_str(), 0775);
    }
    return 0;
}

int CFileUtil::DeleteFile(const char* path) {
    return RemovePath(path);
}

int CFileUtil::DeleteDir(const char* path) {
    return RemovePath(path);
}

bool CFileUtil::IfExistDir(const char* path) {
    if (path == nullptr)
        return false;
    DirPtr dir(::opendir(path));
    return dir && ::readdir(dir.get()) != nullptr;
}

bool CFileUtil::IfExistFile(const char* path) {
    return CSimpleFile::IsFileExist(path);
}
