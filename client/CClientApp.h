// CClientApp: start-up and life of the desktop client. main() only calls Main(); the steps are
// public so tests can drive them one by one. The working directory is the installation
// directory. Run by root (from a terminal) the client keeps its store and downloads there and
// starts the service itself, with the pipes in the installation. Run by a desktop user it never
// writes into the installation (CUserPlaces) and reaches the root service that the system unit
// runs, through the unit's runtime folder; it never starts the service.
#pragma once

#include "CAutoString.h"

#include <sys/types.h>

#include <string>
#include <vector>

class CUniqueFd;
class ISvrInfoCenter;

class CClientApp {
public:
    // The client's store (it holds the password, so only its owner may read it) and the service
    // program, both relative to the working directory.
    static constexpr const char* kStoreFile = "/conf/client.xml";
    static constexpr const char* kServiceProgram = "./OrvaneSvr";
    // What a desktop user's window tells the user when no service answers: the command that
    // starts the window's service.
    static constexpr const char* kStartCommand = "systemctl start orvane-window";
    // The exit status of a desktop user's window that found no service (sysexits' EX_UNAVAILABLE).
    static constexpr int kNoService = 69;
    // How long a desktop user's window waits for a service whose pipe is there to answer.
    static constexpr unsigned kServiceWaitSeconds = 5;

    // The whole life of the process: 0 when the window was closed, -1 when another client runs
    // in this installation or the update installer has taken over, CInstallationCheck::
    // kExitStatus (78) when CheckInstallation refuses the working directory (nothing touched),
    // kNoService when a desktop user's window finds no service (after ShowNoService).
    // packaged: a package's installation (ORVANE_PACKAGE_LAYOUT): whoever runs the window, it
    // keeps its files in the user's places (CUserPlaces), reaches the unit's service, never
    // starts one, and never asks for, downloads or hands over updates (kPackagedUpdates is
    // printed on standard error instead).
    static int Main(int argc, char** argv, bool packaged = false);
    static constexpr const char* kPackagedUpdates =
        "updates come as packages: this installation belongs to the package manager, install new "
        "versions with apt";

    // True when nothing the client trusts in workDir (the folder, conf/, Log/, its store, the
    // error texts, the programs it starts, the download folders and the two FIFOs) nor anything
    // the update installer trusts (CHandOverCheck) is a link, belongs to a user other than root
    // or this one, or is writable by group or others. The client starts the service and the
    // installer, which run as root, from here. Otherwise prints one line per problem, with the
    // command that mends it, hands the lines to problems when given, and returns false. Reads
    // only. On success folder (when given) holds the folder checked.
    static bool CheckInstallation(const std::string& workDir,
                                  std::vector<std::string>* problems = nullptr,
                                  CUniqueFd* folder = nullptr);
    // A desktop user sees no terminal: when a display can be opened, the problems of a refused
    // start are shown in an error dialog too, and this returns once it is closed.
    static void ShowRefusal(int& argc, char**& argv, const std::vector<std::string>& problems);

    // A desktop user's window: true when the service's pipe is in pipeDir, a folder of root and
    // the group "orvane" (group gets its id). Otherwise why says what is missing or wrong.
    static bool ServiceIsThere(const std::string& pipeDir, gid_t& group, std::string& why);
    // Prints why and how to start the service and, when a display can be opened, says the same
    // in a dialog; returns once it is closed.
    static void ShowNoService(int& argc, char**& argv, const std::string& why);

    // Makes path a regular file readable and writable by its owner only: created with an empty
    // store when missing, its mode set to 0600 when it is looser. False (with a printed line)
    // when it is something else than a regular file (a link is never followed) or cannot be
    // made private; the client then keeps no store.
    static bool PrepareStore(const char* path);

    // True when this process may run: no live client recorded under "ClientPID" in info. A
    // recorded id counts only while it belongs to a process of this same program. Records this
    // process's id ("%d\n") before returning true.
    static bool StartSingle(ISvrInfoCenter* info);

    // True when the automatic update has started its installer and this client must end.
    static bool UpdateHandsOver();
    // Runs once each time the service reports the portal ready for log-in, on the message thread.
    static void RunUpdate();

    // Starts program (the service) without a shell, detached into a session of its own so it
    // outlives the client, in the working directory, with standard input on /dev/null and the
    // umask the client was started with. 0 once the program runs, -1 when it could not be
    // started. Does not wait for it.
    static int LaunchService(const char* program, mode_t umaskForChild);
};
