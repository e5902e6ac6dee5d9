#include "CServiceApp.h"

#include "CClientCommand.h"
#include "CErrorCodeTable.h"
#include "CHeldPath.h"
#include "CInfoCenter.h"
#include "CInstallationCheck.h"
#include "CLog.h"
#include "CPasswordInput.h"
#include "CPortalServer.h"
#include "CProcessEnvironment.h"
#include "CProcessName.h"
#include "CRestartPause.h"
#include "CRuntimeFolder.h"
#include "CServer.h"
#include "CSimpleFile.h"
#include "CStateFolder.h"
#include "CStopSignal.h"
#include "CUniqueFd.h"
#include "CUserInfo.h"
#include "CZsmHelper.h"
#include "ISvrInfoCenter.h"
#include "ZsmProtocol.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The checked installation, held for the whole run: in a package's layout the service works in
// its state folder and reaches the installation's files through this descriptor only.
CUniqueFd g_installation;
bool g_inStateFolder = false;

std::string Today() {
    char day[16];
    CLog::getTimeNow(day, sizeof(day), "%Y%m%d");
    return day;
}

void SayLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The console reads its answers from descriptor 0. Started with standard input closed, the next
// file the service opens (log, store, pipe) would take that number and be read as answers.
void KeepStandardInputTaken() {
    if (fcntl(0, F_GETFD) != -1 || errno != EBADF)
        return;
    const int fd = open("/dev/null", O_RDONLY);
    if (fd > 0)
        close(fd);  // not 0 after all: someone else took it meanwhile
}

// Console mode: the console business gets copies of everything the service posts from the moment
// it starts, and it starts the Portal business at once, before any client can be there.
CClientCommand* StartConsole(CServer& server, const CAutoString& account,
                             const CAutoString& password) {
    // The console reads its answers from the terminal; as a background job it then gets an
    // error to wait out instead of being stopped.
    signal(SIGTTIN, SIG_IGN);
    // The console prints the same texts as the window's dialogs; without the file, codes alone.
    CErrorCodeTable::GetInst()->LoadFile(CServiceApp::InstallationFile("conf/code.xml").c_str());
    CClientCommand* console = CClientCommand::GetInst();
    console->SetUserInfo(account, password);
    server.SetConsole(console);
    console->Start();
    return console;
}

// The router is about to go: the console stops commanding the Portal business first, then the
// business stops its threads, so nothing posts through a router that no longer exists.
void EndConsole(CServer& server, CClientCommand* console, bool tellBusinesses) {
    if (console == nullptr)
        return;
    console->Stop();
    server.SetConsole(nullptr);
    if (tellBusinesses)
        server.ServerStatus(-1);
}

// Puts the resolver file back when Main leaves its scope. The normal end has done so with the
// connection's teardown already; this covers the ends without one (no client ever came, the pipe
// could not be opened, a restore that failed before).
class ResolverAtExit {
public:
    explicit ResolverAtExit(CPortalServer* portal) : m_portal(portal) {}
    ~ResolverAtExit() { m_portal->RestoreDNSForExit(); }
    ResolverAtExit(const ResolverAtExit&) = delete;
    ResolverAtExit& operator=(const ResolverAtExit&) = delete;

private:
    CPortalServer* m_portal;
};

// Opens the two FIFOs and serves them until the pipe ends or a stop signal comes; every
// business has been told to stop when this returns.
void ServePipes(CServer& server, CClientCommand* console) {
    server.CreateServer(CServiceApp::kOwnFifo);
    const int opened = server.ConnectToServer(CServiceApp::kPeerFifo);
    if (opened != 0) {
        // A stop while waiting for the client is an orderly end, not a pipe that cannot be opened.
        if (!server.IsStopping()) {
            std::printf("\nopen server pipe ret = %d\n", opened);
            std::fflush(stdout);
        }
        EndConsole(server, console, true);
        return;
    }
    server.DoWork();  // has told the businesses already
    EndConsole(server, console, false);
}

bool IsHelp(const char* argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

}  // namespace

const char CServiceApp::kUsage[] =
    "Usage: OrvaneSvr                    serve the desktop client (it starts the service)\n"
    "       OrvaneSvr ACCOUNT PASSWORD   log ACCOUNT on from the terminal, and serve the client\n"
    "       OrvaneSvr ACCOUNT -          the same, with the password read from the first line\n"
    "                                    of standard input (a terminal does not echo it)\n"
    "Once logged on, a line \"y\" on standard input logs out; end of input never does.\n"
    "SIGTERM, SIGINT and SIGHUP log out and end the service with status 0.\n";

CServiceApp::Arguments CServiceApp::TakeArguments(int argc, char** argv, int inputFd, FILE* out,
                                                  FILE* err) {
    Arguments args;
    if (argc == 2) {
        const bool help = argv[1] != nullptr && IsHelp(argv[1]);
        std::fputs(kUsage, help ? out : err);
        std::fflush(help ? out : err);
        args.exitStatus = help ? 0 : kUsageError;
        return args;
    }
    args.console = TakeConsoleArguments(argc, argv, args.account, args.password);
    if (!args.console)
        return args;
    const char* problem = nullptr;
    if (args.account.IsEmpty()) {
        problem = "the account is empty";
    } else if (args.password == kPasswordFromInput) {
        const CPasswordInput::Result read = CPasswordInput::ReadLine(inputFd, args.password);
        if (read != CPasswordInput::kRead)
            problem = CPasswordInput::Describe(read);
    } else if (args.password.IsEmpty()) {
        problem = "the password is empty";
    }
    if (problem != nullptr) {
        CPasswordInput::Wipe(args.password);
        std::fprintf(err, "OrvaneSvr: %s\n%s", problem, kUsage);
        std::fflush(err);
        args.exitStatus = kUsageError;
    }
    return args;
}

bool CServiceApp::TakeConsoleArguments(int argc, char** argv, CAutoString& account,
                                       CAutoString& password) {
    if (argc <= 2 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr)
        return false;
    account = argv[1];
    password = argv[2];
    // Every user of the machine can read a process's command line; the strings themselves are
    // what the kernel shows, so they are overwritten where they are.
    std::memset(argv[1], 0, std::strlen(argv[1]));
    std::memset(argv[2], 0, std::strlen(argv[2]));
    return true;
}

CAutoString CServiceApp::ProgramName(pid_t pid) {
    return CProcessName::ProgramName(pid);
}

bool CServiceApp::IsServiceProcess(pid_t pid) {
    return CProcessName::IsSameProgram(pid);
}

bool CServiceApp::StartSingle(ISvrInfoCenter* info) {
    const pid_t recorded = CProcessName::ParsePid(info->GetLocalValue("PID").c_str());
    if (recorded != 0 && recorded != getpid() && IsServiceProcess(recorded))
        return false;
    CAutoString mine;
    mine.Format("%d\n", static_cast<int>(getpid()));
    // Without a writable store the test cannot record anything; the service runs regardless.
    info->SetLocalValue("PID", mine.c_str());
    return true;
}

bool CServiceApp::CheckInstallation(const std::string& workDir, CUniqueFd* folder) {
    static_assert(kUnsafeInstallation == CInstallationCheck::kExitStatus, "one status for both");
    if (workDir.empty()) {
        std::printf("OrvaneSvr cannot read its working directory: %s\n", std::strerror(errno));
        std::fflush(stdout);
        return false;
    }
    CInstallationCheck check(workDir);
    // An installation laid out by `cmake --install` is also where the service writes; a
    // package's is only read, but what it holds under these names is trusted all the same.
    CStateFolder::AddWrittenPaths(check, Today());
    check.Add(ZsmProtocol::kHostProgram, CInstallationCheck::EK_FILE);
    if (check.Check()) {
        if (folder != nullptr)
            folder->Reset(check.TakeFolder());
        return true;
    }
    SayLines(check.Problems());
    std::printf("OrvaneSvr refuses to start from an installation that other users can change.\n");
    std::fflush(stdout);
    return false;
}

void CServiceApp::InitLog(const char* workDir) {
    const std::string dir = std::string(workDir ? workDir : ".") + "/Log/";
    CLog* log = CLog::GetInst();
    log->Create(dir.c_str(), "Info.log", "%Y%m%d");
    log->SetLevel(CLog::DEBUG);
}

bool CServiceApp::EnterInstallation() {
    g_inStateFolder = false;
    if (!CheckInstallation(CSimpleFile::WorkingDirectory(), &g_installation))
        return false;
    std::string why;
    if (!CInstallationCheck::Enter(g_installation.get(), why)) {
        std::printf("OrvaneSvr: %s\n", why.c_str());
        std::fflush(stdout);
        return false;
    }
    return true;
}

bool CServiceApp::EnterStateFolder(const char* stateDir) {
    if (stateDir == nullptr)
        return true;
    std::string note;
    CStateFolder state(CStateFolder::Choose(stateDir, std::getenv("STATE_DIRECTORY"), note));
    if (!note.empty())
        std::printf("OrvaneSvr: %s\n", note.c_str());
    if (!state.Take(Today())) {
        SayLines(state.Problems());
        std::printf("OrvaneSvr refuses a state folder that other users can change.\n");
        std::fflush(stdout);
        return false;
    }
    std::string why;
    if (!state.Seed(g_installation.get(), why) || !CInstallationCheck::Enter(state.Folder(), why)) {
        std::printf("OrvaneSvr: %s\n", why.c_str());
        std::fflush(stdout);
        return false;
    }
    g_inStateFolder = true;
    return true;
}

std::string CServiceApp::InstallationFile(const std::string& name) {
    if (g_inStateFolder)
        return CHeldPath::Below(g_installation.get(), name);
    return "./" + name;
}

int CServiceApp::PreparePipeFolder(std::string& folder, gid_t& group) {
    folder.clear();
    group = CPipeService::kPrivate;
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime == nullptr || *runtime == '\0')
        return kContinue;
    std::string why;
    gid_t shared = CPipeService::kPrivate;
    if (!CRuntimeFolder::GroupId(shared, why) || !CRuntimeFolder::Claim(runtime, shared, why)) {
        std::printf("OrvaneSvr refuses its pipe folder: %s\n", why.c_str());
        std::fflush(stdout);
        return kUnsafeInstallation;
    }
    folder = runtime;
    group = shared;
    return kContinue;
}

int CServiceApp::PrepareProcess(Arguments& args, std::string& pipeFolder, gid_t& pipeGroup,
                                const char* stateDir) {
    // From here on every name is relative to the folder the check held ("."), never rebuilt from
    // the path text, which whoever owns a folder above could point elsewhere by a rename.
    if (!EnterInstallation() || !EnterStateFolder(stateDir) ||
        PreparePipeFolder(pipeFolder, pipeGroup) != kContinue) {
        CPasswordInput::Wipe(args.password);
        return kUnsafeInstallation;
    }
    // The helper program next to the service, by its name in the installation held rather than
    // by the executable's path text.
    const std::string helper = InstallationFile(ZsmProtocol::kHostProgram);
    if (faccessat(AT_FDCWD, helper.c_str(), X_OK, AT_EACCESS) == 0)
        CZsmHelper::GetInst()->SetHostPath(helper.c_str());
    // Before any thread exists and before any library reads its variables.
    CProcessEnvironment::Sanitise();
    if (args.console)
        KeepStandardInputTaken();
    CInfoCenter::SetStoreFile(kStoreFile, ".");
    // The store holds the session ticket: an installation made before it was kept private is
    // made so now, before anything is written to it.
    CSimpleFile::KeepPrivate(kStoreFile + 1);
    if (g_inStateFolder &&
        CStateFolder::RefreshVersion(g_installation.get(), CInfoCenter::GetInst()))
        std::printf("OrvaneSvr: the store takes the installed version %s\n",
                    CInfoCenter::GetInst()->GetLocalValue("version").c_str());
    if (!StartSingle(CInfoCenter::GetInst()))
        return -1;
    InitLog(".");
    // Before any thread: the pause is waited out here, and a stop during it is an orderly end.
    if (!CRestartPause::Run(CInfoCenter::GetInst())) {
        CPasswordInput::Wipe(args.password);
        return 0;
    }
    // A write to a departed client must fail and be reported, not end the service.
    CPipeService::IgnoreBrokenPipeSignal();
    return kContinue;
}

int CServiceApp::Main(int argc, char** argv, const char* stateDir) {
    // Whatever the service creates (store, saved resolver text, log, FIFOs) is its own alone.
    umask(077);
    // Taken first, so the password leaves the command line as early as possible.
    Arguments args = TakeArguments(argc, argv, 0, stdout, stderr);
    if (args.exitStatus >= 0)
        return args.exitStatus;
    std::string pipeFolder;
    gid_t pipeGroup = CPipeService::kPrivate;
    const int prepared = PrepareProcess(args, pipeFolder, pipeGroup, stateDir);
    if (prepared != kContinue)
        return prepared;

    const bool consoleMode = args.console;

    // The business is a process-wide singleton and so outlives the router, which hands it
    // messages until it dies; the router's end tells it to stop its threads (ServerStatus).
    CPortalServer* portal = CPortalServer::GetInst();
    portal->SetInfoCenter(CInfoCenter::GetInst());
    // A run that was killed while logged in left the resolver file rewritten; the machine gets
    // its own name servers back before anything else happens.
    portal->RestoreDNS();
    // Whichever way Main returns, the file is the machine's own again (the console's ends and a
    // stop that outlasts its grace do the same before they leave).
    ResolverAtExit resolverAtExit(portal);
    CServer server(pipeFolder, pipeGroup);
    // Declared after the router so it is gone (its thread joined) before the router is.
    CStopSignal stopSignal([&server] { server.StopWork(); },
                           [portal] { portal->RestoreDNSForExit(); });
    stopSignal.Install();
    // Written only now, so whoever waits for this line may already stop the service by signal.
    CLog::GetInst()->WriteLog(CLog::INFO, "OrvaneSvr started, pid %d", static_cast<int>(getpid()));
    portal->InitService(&server);
    CUserInfo userInfo;
    userInfo.Init();
    CClientCommand* console =
        consoleMode ? StartConsole(server, args.account, args.password) : nullptr;
    // The console keeps its own copy for the log-in; this one is of no further use.
    CPasswordInput::Wipe(args.password);
    server.RegisterBusiness(CPortalServer::kName, portal);
    ServePipes(server, console);
    return 0;
}
