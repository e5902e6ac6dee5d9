// CSimpleFile: a thin owner of one standard-I/O stream, and the file helpers the log writer and
// the stores are built on.
//
// One object is used by one thread at a time; CLog adds the lock that makes it shareable.
#pragma once

#include <string>

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

class CSimpleFile {
public:
    CSimpleFile() = default;
    // Closes the stream if one is open.
    virtual ~CSimpleFile();
    CSimpleFile(const CSimpleFile&) = delete;
    CSimpleFile& operator=(const CSimpleFile&) = delete;

    // Closes any open stream, then opens path with the fopen mode ("r", "w" or "a", optionally
    // with "+" and "b"). Only a regular file with one link is opened (see OpenSingleLink); a file
    // created here gets mode 0600. Returns 0 on success, -1 when the open fails (nothing is open
    // then, errno tells why).
    int CreateFile(const char* path, const char* mode);
    // Writes length bytes and pushes them to the kernel at once, in one write(2) unless the kernel
    // takes less. Returns 0 when every byte was written, -1 otherwise, -2 when nothing is open.
    int WriteFile(const char* buffer, size_t length);
    // Returns 0 when nothing is open or the close succeeds, -1 when the close fails. The stream is
    // released in either case.
    int CloseFile();
    bool IsOpen() const { return m_pFile != nullptr; }

    // Opens path (relative to dir, AT_FDCWD for the working directory) with the open(2) flags,
    // O_NOFOLLOW and O_CLOEXEC added, and returns the descriptor only for a regular file with a
    // single link: a hard link planted at the name would carry every write to the file it shares
    // with. A FIFO at the name never stalls the open. -1 otherwise, with errno ELOOP for a
    // symbolic link, EMLINK for more than one link and EINVAL for another kind of file.
    static int OpenSingleLink(int dir, const char* path, int flags, mode_t mode = 0600);
    // Takes group and other permissions off the regular file at path (never through a link).
    // True when it is private afterwards or missing.
    static bool KeepPrivate(const char* path);
    // True when path exists (of any kind).
    static bool IsFileExist(const char* path);
    // Fills buffer with the current working directory, which is where the programs keep their
    // files. False when the directory does not fit into size bytes or cannot be read.
    static bool GetModulePath(char* buffer, size_t size);
    // The working directory of any length; empty when it cannot be read.
    static std::string WorkingDirectory();
    // Writes all len bytes to fd, continuing after short writes and interruptions.
    static bool WriteAll(int fd, const char* data, size_t len);
    // Appends everything fd yields until its end to text, continuing after interruptions. False,
    // with errno set, on a read error (text then holds what was read before it).
    static bool ReadAll(int fd, std::string& text);
    // Creates every directory along path with mode; existing directories count as success. The
    // last component is created too unless lastIsFile is true. False when any creation fails or
    // something other than a directory is in the way.
    static bool RecuMkDir(const char* path, mode_t mode, bool lastIsFile);
    // Replaces the file at path with len bytes of data so that readers (and a crash) see either
    // the old or the new content, never a mixture: the data go into a temporary file in the same
    // folder, are synced to disk and the temporary file is renamed over path. On failure the old
    // file is untouched, the temporary file is removed and false is returned with errno telling
    // why. The temporary file's name is made by mkstemp, so a file planted at a guessable name is
    // never opened. The result has mode 0600, or the mode of the regular file it replaces when
    // keepMode is true. A symbolic link at path is replaced, never followed.
    static bool WriteFileAtomic(const char* path, const char* data, size_t len,
                                bool keepMode = true);

private:
    FILE* m_pFile = nullptr;
};
