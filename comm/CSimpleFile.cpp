#include "CSimpleFile.h"
#include "CUniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeOneDir(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0)
        return true;
    return errno == EEXIST && IsDirectory(path);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a fresh temporary file next to path; returns its descriptor or -1.
int CreateTempBeside(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath =
            path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Makes the rename itself durable; a failure here does not undo the replacement.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

CSimpleFile::~CSimpleFile() {
    CloseFile();
}

int CSimpleFile::CreateFile(const char* path, const char* mode) {
    CloseFile();
    if (path == nullptr || mode == nullptr)
        return -1;
    m_pFile = std::fopen(path, mode);
    return m_pFile != nullptr ? 0 : -1;
}

int CSimpleFile::WriteFile(const char* buffer, size_t length) {
    if (m_pFile == nullptr)
        return -2;
    if (length == 0)
        return 0;
    if (buffer == nullptr)
        return -1;
    // Nothing is ever left in the stream's buffer, so writing to the descriptor directly keeps
    // the order and gives each call one write(2): lines of different writers never interleave.
    if (std::fflush(m_pFile) != 0)
        return -1;
    return WriteAll(::fileno(m_pFile), buffer, length) ? 0 : -1;
}

int CSimpleFile::CloseFile() {
    if (m_pFile == nullptr)
        return 0;
    const int rc = std::fclose(m_pFile);
    m_pFile = nullptr;
    return rc == 0 ? 0 : -1;
}

bool CSimpleFile::IsFileExist(const char* path) {
    return path != nullptr && ::access(path, F_OK) == 0;
}

bool CSimpleFile::WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string CSimpleFile::WorkingDirectory() {
    std::vector<char> buf(256);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE)
            return std::string();
        buf.resize(buf.size() * 2);
    }
    return std::string(buf.data());
}

bool CSimpleFile::GetModulePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return false;
    if (::getcwd(buffer, size) != nullptr)
        return true;
    buffer[0] = '\0';
    return false;
}

bool CSimpleFile::RecuMkDir(const char* path, mode_t mode, bool lastIsFile) {
    if (path == nullptr || *path == '\0')
        return false;
    const std::string full(path);
    // The first character is skipped so that the root of an absolute path is never created.
    for (size_t pos = full.find('/', 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
        if (!MakeOneDir(full.substr(0, pos), mode))
            return false;
    }
    return lastIsFile || MakeOneDir(full, mode);
}

bool CSimpleFile::WriteFileAtomic(const char* path, const char* data, size_t len) {
    if (path == nullptr || *path == '\0' || (data == nullptr && len > 0))
        return false;
    const std::string target(path);
    std::string temp;
    const int fd = CreateTempBeside(target, temp);
    if (fd < 0)
        return false;
    CUniqueFd closer(fd);
    struct stat old;
    bool ok = true;
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, data, len) && ::fsync(fd) == 0;
    ok = closer.Close() && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncFolder(FolderOf(target));
    return true;
}
