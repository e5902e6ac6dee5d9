// CResolverBackup: what the service needs to undo its own rewrite of the resolver file, and only
// its own: the text the file held before the first rewrite (the machine's own) and a digest of
// every text the service has written over it since.
//
// Both live in memory and, when paths are given, in two owner-only files next to the store (the
// saved copy and the record), written through a temporary file renamed into place. A service
// killed while logged in thus finds them at its next start and can tell whether the file still
// holds its rewrite (it is put back) or was rewritten by a network manager meanwhile (it is left
// alone). The record is written before the resolver file, so a file that holds a text the service
// wrote always has that text's digest on disk.
//
// Files found on disk count only when they are regular files of this user that nobody else may
// write: a copy another user placed is never written into the resolver file.
//
// Not thread-safe: its owner (CNetHelper) is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

class CResolverBackup {
public:
    // Digests kept per rewrite: a login rewrites the file once, a state query adopting it at most
    // once more; older ones are dropped first.
    static constexpr size_t kMaxDigests = 8;

    // savedPath and recordPath: the two files; an empty savedPath keeps everything in memory.
    CResolverBackup(std::string savedPath, std::string recordPath);

    // True while a rewrite is in force: the machine's text is held in memory or, from an earlier
    // run, on disk (then read into memory, with the record if there is one).
    bool Load();
    // The machine's own text; meaningful only after Load returned true.
    const std::string& Original() const { return m_original; }
    // True when text is one this service wrote over the machine's own (after Load).
    bool IsOurs(const std::string& text) const;

    // Starts a new rewrite from original (the record starts empty); 0 or the system error number,
    // and then nothing is kept.
    int Begin(const std::string& original);
    // Notes that text is about to be written over the file; 0 or the system error number (the
    // text must then not be written).
    int Note(const std::string& text);
    // Forgets the rewrite, in memory and on disk.
    void Forget();

    // SHA-256 of text in lower-case hexadecimal.
    static std::string Digest(const std::string& text);

private:
    bool LoadFromDisk();
    int WriteRecord() const;

    std::string m_savedPath;
    std::string m_recordPath;
    bool m_held = false;
    std::string m_original;
    std::vector<std::string> m_digests;
};
