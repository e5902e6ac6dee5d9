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

// Creates a fresh temporary file next to path, with a name nobody can predict and mode 0600;
// returns its descriptor or -1. mkstemp opens with O_EXCL, so nothing planted is ever reused.
int CreateTempBeside(const std::string& path, std::string& tempPath) {
    tempPath = path + ".XXXXXX";
    return ::mkostemp(&tempPath[0], O_CLOEXEC);
}

// The open(2) flags for an fopen mode ("r", "w", "a", each with an optional "+" and "b").
int OpenFlags(const char* mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r':
            return update ? O_RDWR : O_RDONLY;
        case 'w':
            return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return -1;
    }
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
    const int flags = OpenFlags(mode);
    if (flags < 0)
        return -1;
    CUniqueFd fd(OpenSingleLink(AT_FDCWD, path, flags));
    if (fd.get() < 0)
        return -1;
    m_pFile = ::fdopen(fd.get(), mode);
    if (m_pFile == nullptr)
        return -1;
    fd.Release();  // the stream owns it now
    return 0;
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

int CSimpleFile::OpenSingleLink(int dir, const char* path, int flags, mode_t mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // A link planted at the name would let whoever planted it choose the file written; a FIFO
    // in its place must not stall the open.
    CUniqueFd fd(::openat(dir, path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
        errno = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
        return -1;
    }
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0)
        return -1;
    return fd.Release();
}

bool CSimpleFile::KeepPrivate(const char* path) {
    CUniqueFd fd(OpenSingleLink(AT_FDCWD, path, O_RDONLY));
    struct stat st;
    if (fd.get() < 0)
        return errno == ENOENT;
    if (::fstat(fd.get(), &st) != 0)
        return false;
    return (st.st_mode & 077) == 0 || ::fchmod(fd.get(), st.st_mode & 07700) == 0;
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

bool CSimpleFile::ReadAll(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        text.append(buffer, static_cast<size_t>(n));
    }
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

bool CSimpleFile::WriteFileAtomic(const char* path, const char* data, size_t len, bool keepMode) {
    if (path == nullptr || *path == '\0' || (data == nullptr && len > 0)) {
        errno = EINVAL;
        return false;
    }
    const std::string target(path);
    std::string temp;
    CUniqueFd fd(CreateTempBeside(target, temp));
    if (fd.get() < 0)
        return false;
    struct stat old;
    bool ok = true;
    // lstat: a link at the target is replaced, never followed, so its target's mode means nothing.
    if (keepMode && ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd.get(), data, len) && ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    SyncFolder(FolderOf(target));
    return true;
}
