// CProcessName: which program a process runs, for the single-instance tests of both programs.
//
// A recorded process id outlives its process: after a crash or a reboot the number is often
// reused by some other program, so a live id alone must never make a program refuse to start.
#pragma once

#include "CAutoString.h"

#include <sys/types.h>

class CProcessName {
public:
    // The base name of pid's executable ("client"), or empty when it cannot be read. A program
    // replaced on disk while it runs still reads under its own name.
    static CAutoString ProgramName(pid_t pid);
    // True when pid is a live process running the same program as the calling one (base names of
    // the executables agree; the kernel's short names where an executable cannot be read). A live
    // process about which nothing is readable counts as the same program: the safe side.
    static bool IsSameProgram(pid_t pid);
    // The id written in text ("1234\n"), or 0 when it is not a positive number: 0 and negative ids
    // would make a liveness probe address whole process groups.
    static pid_t ParsePid(const char* text);
};
