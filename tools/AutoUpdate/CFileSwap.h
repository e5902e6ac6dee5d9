// CFileSwap: moves the unpacked files of an update into the installation, one rename each, and
// keeps every replaced file so the whole change can be undone.
//
// The staging folder lies inside the installation, so each rename stays on one file system and is
// atomic: a program that opens a file sees the old or the new one, never a mixture. Replaced
// files are hard-linked into the backup folder first and stay there until the run ends. Every
// name is resolved from the folder descriptors given (see CHeldFolder), never from a path text.
//
// One object per installer run, used by one thread. The descriptors are borrowed and must stay
// open while the object is used.
#pragma once

#include <string>
#include <vector>

class CFileSwap {
public:
    // install: the installation folder; unpacked: the unpacked files; backup: where replaced
    // files are kept.
    CFileSwap(int install, int unpacked, int backup);

    // Walks the unpacked files: only folders and regular files with one link are accepted
    // (set-id and group/other write bits are dropped), and each must pass MayReplace. False with
    // a reason otherwise; nothing in the installation is changed then.
    bool Check(std::string& error);
    // Whether a package may put a file at rel (relative to the installation): never a store
    // file, the download or log folders, a staging folder, or over anything but a regular file.
    bool MayReplace(const std::string& rel, std::string& error) const;
    // Moves every file into place. On the first failure everything done so far is undone and
    // false comes back with a reason.
    bool Apply(std::string& error);
    // Puts every replaced file back and removes the added ones and the folders made for them.
    void Rollback();
    // Number of files Check accepted.
    size_t Count() const { return m_files.size(); }

private:
    bool Walk(int dir, const std::string& prefix, std::string& error);
    bool Accept(int dir, const std::string& name, const std::string& rel, std::string& error);
    bool Backup(int installParent, const std::string& rel, const std::string& leaf);
    bool MoveOne(const std::string& rel, std::string& error);

    int m_install, m_unpacked, m_backup;
    std::vector<std::string> m_files;     // relative paths, in the order they are moved
    std::vector<std::string> m_replaced;  // moved over an existing file (kept in the backup)
    std::vector<std::string> m_added;     // moved where nothing was
    std::vector<std::string> m_madeDirs;  // folders created in the installation, outermost first
};
