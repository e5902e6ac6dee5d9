// CFileSwap: moves the unpacked files of an update into the installation, one rename each, and
// keeps every replaced file so the whole change can be undone.
//
// The staging folder lies inside the installation, so each rename stays on one file system and is
// atomic: a program that opens a file sees the old or the new one, never a mixture. Replaced
// files are hard-linked into the backup folder first and stay there until Commit.
//
// One object per installer run, used by one thread.
#pragma once

#include <string>
#include <vector>

class CFileSwap {
public:
    // newDir: the unpacked files; backupDir: where replaced files are kept (created on demand).
    CFileSwap(std::string installDir, std::string newDir, std::string backupDir);

    // Walks newDir: only directories and regular files are accepted (set-id and group/other write
    // bits are dropped), and none may land on a store file, the release key, the installed
    // version's record, the download or log folders, or a directory of the installation. False with
    // a reason otherwise; nothing is changed then.
    bool Check(std::string& error);
    // Moves every file into place. On the first failure everything done so far is undone and
    // false comes back with a reason.
    bool Apply(std::string& error);
    // Puts every replaced file back and removes the added ones and the folders made for them.
    void Rollback();
    // Number of files Check accepted.
    size_t Count() const { return m_files.size(); }

private:
    bool Allowed(const std::string& rel, std::string& error) const;
    bool Backup(const std::string& rel);
    bool MakeParents(const std::string& rel);

    std::string m_installDir, m_newDir, m_backupDir;
    std::vector<std::string> m_files;     // relative paths, in the order they are moved
    std::vector<std::string> m_replaced;  // moved over an existing file (kept in the backup)
    std::vector<std::string> m_added;     // moved where nothing was
    std::vector<std::string> m_madeDirs;  // folders created in the installation, outermost first
};
