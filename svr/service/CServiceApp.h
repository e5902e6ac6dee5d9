// CServiceApp: start-up and life of the service program. main() only calls Main(); the steps are
// public so tests can drive them one by one. Every path is relative to the working directory:
// the installation directory, or in a package's layout the state folder (CStateFolder), with the
// installation's own files reached through InstallationFile.
#pragma once

#include "CAutoString.h"

#include <sys/types.h>

#include <cstdio>
#include <string>

class CUniqueFd;
class ISvrInfoCenter;

class CServiceApp {
public:
    // The service's store file, FIFOs and log, relative to the working directory.
    static constexpr const char* kStoreFile = "/conf/conf.xml";
    static constexpr const char* kOwnFifo = "serverpipe";
    static constexpr const char* kPeerFifo = "clientpipe";
    // The exit status of a command line that cannot work: a single argument, an empty account or
    // no password on standard input. A service manager must not start such a line again.
    static constexpr int kUsageError = 64;
    // The password argument that stands for the first line of standard input.
    static constexpr const char* kPasswordFromInput = "-";
    static const char kUsage[];

    // What the command line asks for.
    struct Arguments {
        bool console = false;  // console mode: account and password were given
        CAutoString account;
        CAutoString password;
        int exitStatus = -1;  // 0 or more: end at once with this status (the reason is printed)
    };

    // The exit status of a service that refuses an installation other users could change.
    static constexpr int kUnsafeInstallation = 78;

    // The whole life of the process: 0 after an orderly end or when the pipe cannot be opened,
    // -1 when another service already runs in this installation, kUnsafeInstallation when
    // CheckInstallation refuses the working directory (nothing else is touched in either case),
    // kUsageError (or 0 for "--help") when the command line is refused before anything starts.
    // stateDir: the state folder of a package's layout (EnterStateFolder), null for the layout
    // of `cmake --install`, where the service writes into its installation.
    static int Main(int argc, char** argv, const char* stateDir = nullptr);

    // Takes the command line. No argument: serve the window. "--help" or "-h" alone: the usage
    // text on out and status 0; any other single argument: the usage text on err and kUsageError.
    // Two or more: console mode with the first two (see TakeConsoleArguments); a password of
    // kPasswordFromInput is read from the first line of inputFd (CPasswordInput). An empty
    // account or password ends with a line on err and kUsageError.
    static Arguments TakeArguments(int argc, char** argv, int inputFd, FILE* out, FILE* err);

    // True when no folder above workDir may be changed by another user and nothing the service
    // trusts in workDir (the folder itself, conf/, Log/, the algorithm container and its helper
    // program, the store files, today's log and the two FIFOs) is a link or a file with a second
    // link, belongs to a user other than root or this one, or is writable by group or others (see
    // CInstallationCheck). Otherwise prints one
    // line per problem, with the command that mends it, to standard output and returns false.
    // Reads only; creates nothing. On success folder (when given) holds the folder checked.
    static bool CheckInstallation(const std::string& workDir, CUniqueFd* folder = nullptr);
    // Checks the working directory and makes the folder the check held the working directory;
    // false (lines printed) when the check or the change fails.
    static bool EnterInstallation();
    // A package's layout (stateDir not null): after EnterInstallation, takes the state folder
    // (CStateFolder: created 0700 when missing, checked, seeded from the installation) and makes
    // it the working directory. False with lines printed when it is refused; true at once for a
    // null stateDir.
    static bool EnterStateFolder(const char* stateDir);
    // The name by which a file of the installation (the helper program, the error texts, the
    // shipped store) is opened: relative to the working directory when that is the
    // installation, else through the installation's held descriptor (CHeldPath).
    static std::string InstallationFile(const std::string& name);

    // True when this process may run: no live service recorded under "PID" in info. Records this
    // process's id ("%d\n") before returning true.
    static bool StartSingle(ISvrInfoCenter* info);
    // The process-wide steps before any thread, after the umask: the installation check, the
    // pipe folder (PreparePipeFolder fills pipeFolder and pipeGroup), the environment, the store,
    // the single-instance test, the log, the pause after failed runs under the unit
    // (CRestartPause). kContinue when the service goes on, else its exit status: 0 for a stop
    // during the pause (the password is wiped on a refused installation, state folder or pipe
    // folder, and on that stop). stateDir as for Main.
    static int PrepareProcess(Arguments& args, std::string& pipeFolder, gid_t& pipeGroup,
                              const char* stateDir = nullptr);
    // Where the FIFOs live: the runtime folder systemd names in RUNTIME_DIRECTORY (the unit's
    // RuntimeDirectory=), shared with the group of the window's users, else the working
    // directory (folder empty, group CPipeService::kPrivate). The runtime folder is made root's
    // and the group's with mode 0770 (CRuntimeFolder::Claim). kContinue, or kUnsafeInstallation
    // with one printed line when the folder or the group is refused.
    static int PreparePipeFolder(std::string& folder, gid_t& group);
    static constexpr int kContinue = -2;
    // Opens "Log/YYYYMMDD_Info.log" under workDir and writes every level.
    static void InitLog(const char* workDir);

    // True when pid is a live process running the same program as this one (the base names of
    // their executables agree). The recorded id of a crashed service is often reused by another
    // program after a reboot; only a process of this program blocks the start.
    static bool IsServiceProcess(pid_t pid);
    // The base name of pid's executable ("OrvaneSvr"), or empty when it cannot be read.
    static CAutoString ProgramName(pid_t pid);

    // Console mode: with two or more arguments (argc > 2) copies the first two as account and
    // password and overwrites both argument strings in place with zero bytes, so the password
    // does not stay readable in the process's command line (/proc/<pid>/cmdline). False, and
    // nothing touched, with fewer arguments. Arguments after the second are left alone.
    static bool TakeConsoleArguments(int argc, char** argv, CAutoString& account,
                                     CAutoString& password);
};
