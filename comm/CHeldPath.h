// CHeldPath: a path name that reaches a file through a folder descriptor the program holds.
//
// Some calls take only a path (exec helpers, the XML loader, the atomic replace that makes its
// temporary file beside the target). Through /proc/self/fd the kernel resolves the held folder
// itself, never its path text, so a rename of that folder or of one above it after the check
// changes nothing such a call reaches.
#pragma once

#include <string>

class CHeldPath {
public:
    // "/proc/self/fd/FOLDER/name"; name is relative to the folder (without a leading "/").
    static std::string Below(int folder, const std::string& name);
};
