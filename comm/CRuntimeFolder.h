// CRuntimeFolder: the folder the two FIFOs share with the desktop users allowed to use the window.
//
// Run from the system unit, the service keeps its FIFOs in the unit's runtime folder instead of
// the installation, so that a window running as an ordinary user can reach them. The folder
// belongs to root and the group "orvane" with mode 0770 and the FIFOs have mode 0660 and that
// group: members of the group may command the service, nobody else may even look. Members can
// add, remove and rename entries in the folder, so every FIFO in it is judged on what was opened
// (see JudgePipe) and each side makes its own FIFO afresh instead of reusing one found there.
//
// Reads and changes only the paths it is given; no state. Any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

class CRuntimeFolder {
public:
    static constexpr const char* kGroup = "orvane";
    static constexpr mode_t kFolderMode = 0770;
    static constexpr mode_t kPipeMode = 0660;
    // For JudgePipe: any owner will do (the group decides).
    static constexpr uid_t kAnyOwner = static_cast<uid_t>(-1);

    // The id of the group kGroup. False, with why, when the machine has no such group.
    static bool GroupId(gid_t& group, std::string& why);

    // Service side: gives the folder at path, which must be root's, to group with mode 0770,
    // through a descriptor held on it, so a link or a folder swapped in meanwhile is not the one
    // changed. A folder that is a link, belongs to another user or grants anything to others or
    // special bits is refused as it is: something may already have been planted in it. False,
    // with why (one line naming path), when refused or when the change failed.
    static bool Claim(const std::string& path, gid_t group, std::string& why);

    // The rule for the folder's status: a folder of root, of group, mode exactly 0770. Empty when
    // it passes, else why not.
    static std::string JudgeFolder(const struct stat& st, const std::string& path, gid_t group);
    // The rule for one FIFO in the folder: a FIFO (a link or any other file is refused), of
    // group, mode exactly 0660, and owned by owner unless that is kAnyOwner. Empty when it
    // passes, else why not.
    static std::string JudgePipe(const struct stat& st, const std::string& path, gid_t group,
                                 uid_t owner);

    // Makes a new FIFO of this process's user at path with group and mode 0660. Whatever was at
    // path is removed first: in a folder that other members write, a file found there proves
    // nothing. False, with why, when it cannot be made so.
    static bool MakePipe(const std::string& path, gid_t group, std::string& why);
};
