// CHeldFolder: the installer's file work, relative to folder descriptors held from the
// installation check, so that a rename of the installation (or of a folder above it) during a run
// changes nothing the installer reads, writes, moves or removes.
//
// Every name is walked one component at a time with O_NOFOLLOW: a link is never followed, not
// even in the middle of a name. No state; the descriptors passed in are borrowed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class CHeldFolder {
public:
    // Opens the folder rel ("" for dir itself; components separated by "/") below dir. With made
    // given, missing folders are created with mode and their names (relative to dir, outermost
    // first) appended. An O_PATH descriptor, or -1 with errno set.
    static int OpenBelow(int dir, const std::string& rel, mode_t mode = 0,
                         std::vector<std::string>* made = nullptr);
    // The folder holding rel's last component (opened as OpenBelow does) and that component.
    static int OpenParent(int dir, const std::string& rel, std::string& leaf, mode_t mode = 0,
                          std::vector<std::string>* made = nullptr);
    // Reads the regular, singly linked file name in dir whole, refusing more than cap bytes.
    // False with why otherwise.
    static bool ReadCapped(int dir, const std::string& name, size_t cap, std::string& bytes,
                           std::string& why);
    // Appends line to the file name in dir (created 0600), never through a link.
    static bool Append(int dir, const std::string& name, const std::string& line);
    // Removes everything inside dir, never following a link; false when something is left.
    static bool Clear(int dir);
    // Removes the entry name of dir and, for a folder, everything below it.
    static bool Remove(int dir, const std::string& name);
    // Creates a folder of unpredictable name prefix + 6 characters in dir, mode 0700; its name,
    // or "" when none could be made.
    static std::string MakeTemp(int dir, const std::string& prefix);
    // A name the kernel resolves from the held folder ("/proc/self/fd/N/name"), for the libraries
    // that take a path only; the process's own descriptor table is what it names.
    static std::string PathVia(int dir, const std::string& name);
};
