// CFileUtil: file and directory helpers of the client's automatic update. No state.
//
// Nothing here runs a shell: paths are handed to the system calls as they are, so blanks, quotes
// and shell characters in a name are just characters.
#pragma once

class CFileUtil {
public:
    // Copies source to destination (created, or truncated when it exists; a new file takes the
    // source's permission bits). Returns 0 on success; -1 when failIfExists is set and the
    // destination exists, when either file cannot be opened (with "Source file open failure." or
    // "Destination file open failure." on standard output), or when reading or writing fails.
    static int CopyFile(const char* source, const char* destination, bool failIfExists);
    // Copies every entry of sourceDir into destDir, subdirectories recursively. destDir is created
    // when missing (-1 when that fails); an existing destDir with failIfExists set gives -1. The
    // first failing entry stops the copy and its result is returned; 0 when all were copied.
    static int CopyAllFile(const char* sourceDir, const char* destDir, bool failIfExists);
    // Creates every directory along path (mode 0775), ignoring failures. Returns 0.
    static int CreateDir(const char* path);
    // Delete exactly path: a file or link is unlinked, a directory is removed with everything in
    // it (a link inside is removed, never followed). Both return 0 when path no longer exists
    // (also when it never did) and -1 when something could not be removed.
    static int DeleteFile(const char* path);
    static int DeleteDir(const char* path);
    // True when path is a directory that can be opened and read.
    static bool IfExistDir(const char* path);
    // True when path exists (of any kind).
    static bool IfExistFile(const char* path);
};
