#include "CClientApp.h"

#include "CAutoUpdate.h"
#include "CClient.h"
#include "CClientManager.h"
#include "CDetachedProcess.h"
#include "CErrorCodeTable.h"
#include "CHandOverCheck.h"
#include "CInfoCenter.h"
#include "CInstallationCheck.h"
#include "CMainWindow.h"
#include "CPipeService.h"
#include "CProcessName.h"
#include "CRuntimeFolder.h"
#include "CSimpleFile.h"
#include "CUniqueFd.h"
#include "CUserPlaces.h"
#include "ISvrInfoCenter.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kEmptyStore[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<conf>\n</conf>\n";

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

bool CreatePrivateStore(const char* path) {
    CUniqueFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || !CSimpleFile::WriteAll(fd.get(), kEmptyStore, sizeof kEmptyStore - 1) ||
        !fd.Close()) {
        std::printf("cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

// A desktop user's download folder (CUserPlaces), empty for root's client, which downloads into
// the installation. Set by Main before any thread starts, read-only afterwards.
std::string g_userDownloadDir;

// What the window runs with: where the pipes are, and whether the service is the system unit's,
// which the window must not wait for in silence.
struct WindowSetup {
    std::string pipeDir;  // empty: the working directory
    gid_t group = CPipeService::kPrivate;
    bool watchService = false;
    bool updates = true;  // false in a package's layout: new versions come as packages
};

// Shared by the pipe thread and the main thread's look at whether the service answered.
struct PipeWatch {
    CClient* router = nullptr;
    CMainWindow* window = nullptr;
    std::atomic<bool> connected{false};
    bool looked = false;  // main thread only: the look has run (and its source is gone)
    bool gaveUp = false;  // main thread only
};

std::string NoServiceText(const std::string& why) {
    return std::string("校园网服务没有运行，无法登录。请让管理员启动服务：\n") +
           CClientApp::kStartCommand + "\n（" + why + "）";
}

void SayNoService(const std::string& why) {
    std::printf("no service: %s; start it with: %s\n", why.c_str(), CClientApp::kStartCommand);
    std::fflush(stdout);
}

// The GDK lock. GLib's own mutex waits on futexes that thread checkers cannot see; a standard
// mutex makes the ordering between the GTK thread and the message thread visible to them.
std::mutex g_gdkLock;

void EnterGdk() {
    g_gdkLock.lock();
}

void LeaveGdk() {
    g_gdkLock.unlock();
}

gboolean QuitOnSignal(gpointer window) {
    gdk_threads_enter();
    static_cast<CMainWindow*>(window)->Close();
    gtk_main_quit();
    gdk_threads_leave();
    return TRUE;
}

// The pipe thread: opens the pipes, announces the client and runs the read loop until the
// router is stopped or the pipe fails. The window then stays on whatever page it shows.
void RunPipe(CClient* router, CClientManager* business, PipeWatch* watch) {
    const int opened = router->Open();
    if (opened != 0) {
        std::printf("open client pipe failed ret = %d\n", opened);
        std::fflush(stdout);
        return;
    }
    watch->connected.store(true);
    business->Start();
    router->DoWork();
}

// A pipe is there but nothing has answered on it: the service ended without removing it, or
// hangs. The user is told how to start it instead of looking at a window that waits for ever.
gboolean NoServiceAnswered(gpointer data) {
    PipeWatch* watch = static_cast<PipeWatch*>(data);
    gdk_threads_enter();
    watch->looked = true;
    if (!watch->connected.load()) {
        watch->gaveUp = true;
        watch->router->StopWork();
        watch->window->Close();
        const std::string why = "the service does not answer on its pipe";
        SayNoService(why);
        CMainWindow::RunAlone(NoServiceText(why).c_str());
        gtk_main_quit();
    }
    gdk_threads_leave();
    return FALSE;
}

// Builds the window, runs the pipe thread beside the GTK main loop and takes both down in order
// when the window is closed or the process is told to end.
int RunWindow(const WindowSetup& setup) {
    CClientManager* business = CClientManager::GetInst();
    business->SetUpdateRun(setup.updates ? &CClientApp::RunUpdate : nullptr);
    CClient router(setup.pipeDir, setup.group);
    business->InitService(&router);
    router.RegisterBusiness(CClientManager::kName, business);

    gdk_threads_enter();
    auto window = std::make_unique<CMainWindow>(business);
    window->Build();
    business->SetMainWindow(window.get());
    const guint onTerm = g_unix_signal_add(SIGTERM, QuitOnSignal, window.get());
    const guint onInt = g_unix_signal_add(SIGINT, QuitOnSignal, window.get());
    PipeWatch watch;
    watch.router = &router;
    watch.window = window.get();
    const guint onSilence =
        setup.watchService
            ? g_timeout_add_seconds(CClientApp::kServiceWaitSeconds, NoServiceAnswered, &watch)
            : 0;
    std::thread pipe(RunPipe, &router, business, &watch);
    gtk_main();
    g_source_remove(onTerm);
    g_source_remove(onInt);
    if (onSilence != 0 && !watch.looked)
        g_source_remove(onSilence);
    // The message thread may still be handling the service's messages until it is stopped below;
    // from here on they change nothing, and no dialog opens after the main loop that would serve
    // it has ended.
    business->SetMainWindow(nullptr);
    window->Close();
    gdk_threads_leave();

    router.StopWork();
    pipe.join();
    business->InitService(nullptr);
    gdk_threads_enter();
    window.reset();
    gdk_threads_leave();
    return watch.gaveUp ? CClientApp::kNoService : 0;
}

// A desktop user's store lives in the user's configuration folder; false when it cannot be kept
// private there (the window then keeps no store).
bool PrepareUserStore(const CUserPlaces& places) {
    std::string why;
    if (!places.PrepareConfigDir(why)) {
        std::printf("%s; the client keeps no store\n", why.c_str());
        return false;
    }
    return CClientApp::PrepareStore(places.StoreFile().c_str());
}

// Where the store is: the installation's for root, the user's configuration folder otherwise
// (and the downloads in the user's cache). A store that cannot be kept private is not written at
// all: the window still works, but nothing (the password least of all) is kept for the next
// start.
void ChooseStore(bool desktopUser, const CUserPlaces& places) {
    if (!desktopUser) {
        // Relative to the checked folder the client has entered. A store that cannot be kept
        // private is not written at all: the window still works, but nothing (the password least
        // of all) is kept for the next start.
        const std::string store = std::string(".") + CClientApp::kStoreFile;
        CInfoCenter::SetStoreFile(
            CClientApp::PrepareStore(store.c_str()) ? CClientApp::kStoreFile : "", ".");
        return;
    }
    CInfoCenter::SetStoreFile(PrepareUserStore(places) ? "/client.xml" : "",
                              places.ConfigDir().c_str());
    g_userDownloadDir = places.DownloadDir();
}

// Root lives in the system unit's service alone; a desktop user's window only talks to it. False
// once the user has been told that no service is there.
bool ReachUnitService(const CUserPlaces& places, WindowSetup& setup, int& argc, char**& argv) {
    std::string why;
    if (!CClientApp::ServiceIsThere(places.PipeDir(), setup.group, why)) {
        CClientApp::ShowNoService(argc, argv, why);
        return false;
    }
    setup.pipeDir = places.PipeDir();
    setup.watchService = true;
    return true;
}

}  // namespace

bool CClientApp::PrepareStore(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return CreatePrivateStore(path);
        std::printf("cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::printf("%s is not a regular file; the client keeps nothing in it\n", path);
        return false;
    }
    if ((st.st_mode & 07777) == 0600)
        return true;
    CUniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 || fchmod(fd.get(), 0600) != 0) {
        std::printf("cannot make %s private: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool CClientApp::StartSingle(ISvrInfoCenter* info) {
    const pid_t recorded = CProcessName::ParsePid(info->GetLocalValue("ClientPID").c_str());
    if (recorded != 0 && recorded != getpid() && CProcessName::IsSameProgram(recorded))
        return false;
    CAutoString mine;
    mine.Format("%d\n", static_cast<int>(getpid()));
    info->SetLocalValue("ClientPID", mine.c_str());
    return true;
}

bool CClientApp::UpdateHandsOver() {
    if (g_userDownloadDir.empty())
        return CAutoUpdate().CheckInstall();
    return CAutoUpdate(CSimpleFile::WorkingDirectory().c_str(), g_userDownloadDir.c_str())
        .CheckInstall();
}

void CClientApp::RunUpdate() {
    // An unreachable server or a refused answer only costs this run; the window carries on.
    if (g_userDownloadDir.empty()) {
        CAutoUpdate().RunUpdate();
        return;
    }
    CAutoUpdate(CSimpleFile::WorkingDirectory().c_str(), g_userDownloadDir.c_str()).RunUpdate();
}

int CClientApp::LaunchService(const char* program, mode_t umaskForChild) {
    return CDetachedProcess::Start({program}, "", umaskForChild) == 0 ? 0 : -1;
}

bool CClientApp::CheckInstallation(const std::string& workDir, std::vector<std::string>* problems,
                                   CUniqueFd* folder) {
    std::vector<std::string> found;
    if (workDir.empty()) {
        found.push_back(std::string("cannot read the working directory: ") + std::strerror(errno));
    } else {
        CInstallationCheck check(workDir);
        // What the installer will trust, so that the client never hands over to an installer that
        // refuses the installation, and the client's own programs, texts and pipes.
        CHandOverCheck::AddTrustedPaths(check, "client");
        for (const char* file : {"conf/code.xml", "OrvaneSvr", "AutoUpdate"})
            check.Add(file, CInstallationCheck::EK_FILE);
        check.Add("serverpipe", CInstallationCheck::EK_FIFO);
        check.Add("clientpipe", CInstallationCheck::EK_FIFO);
        if (check.Check()) {
            if (folder != nullptr)
                folder->Reset(check.TakeFolder());
            return true;
        }
        found = check.Problems();
    }
    for (const std::string& line : found)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (problems != nullptr)
        *problems = found;
    return false;
}

void CClientApp::ShowRefusal(int& argc, char**& argv, const std::vector<std::string>& problems) {
    // No display (a terminal, a service): the printed lines are all there is to say.
    if (!gtk_init_check(&argc, &argv))
        return;
    std::string text = "客户端无法启动：安装目录可被其他用户修改。请以管理员身份修正：";
    for (const std::string& line : problems)
        text += "\n" + line;
    CMainWindow::RunAlone(text.c_str());
}

bool CClientApp::ServiceIsThere(const std::string& pipeDir, gid_t& group, std::string& why) {
    if (!CRuntimeFolder::GroupId(group, why))
        return false;
    struct stat st;
    if (lstat(pipeDir.c_str(), &st) != 0) {
        why = pipeDir + (errno == ENOENT ? " does not exist" : " cannot be examined");
        return false;
    }
    why = CRuntimeFolder::JudgeFolder(st, pipeDir, group);
    if (!why.empty())
        return false;
    const std::string pipe = pipeDir + "/" + CClient::kPeerFifo;
    if (lstat(pipe.c_str(), &st) == 0)
        return true;
    if (errno == EACCES)
        why = std::string("this user is not in the group \"") + CRuntimeFolder::kGroup +
              "\" (an administrator adds it with: usermod -a -G " + CRuntimeFolder::kGroup +
              " USER; then log in again)";
    else
        why = "there is no service pipe " + pipe;
    return false;
}

void CClientApp::ShowNoService(int& argc, char**& argv, const std::string& why) {
    SayNoService(why);
    if (gtk_init_check(&argc, &argv))
        CMainWindow::RunAlone(NoServiceText(why).c_str());
}

int CClientApp::Main(int argc, char** argv, bool packaged) {
    // The store and the temporary copies it is rewritten through hold the password.
    const mode_t startMask = umask(077);
    std::vector<std::string> problems;
    CUniqueFd folder;
    std::string why;
    // Every later name (store, texts, pipes, programs) is resolved from the folder the check
    // held, whatever a rename above it does to the path text.
    if (!CheckInstallation(CSimpleFile::WorkingDirectory(), &problems, &folder) ||
        !CInstallationCheck::Enter(folder.get(), why)) {
        if (!why.empty())
            problems.push_back(why);
        ShowRefusal(argc, argv, problems);
        return CInstallationCheck::kExitStatus;
    }
    // A package's installation belongs to the package manager: even root's window writes nothing
    // there and leaves the service to its unit.
    const bool userPlaces = packaged || geteuid() != 0;
    const CUserPlaces places = CUserPlaces::FromEnvironment();
    ChooseStore(userPlaces, places);
    if (!StartSingle(CInfoCenter::GetInst())) {
        Say("Client Process had start!");
        return -1;
    }
    WindowSetup setup;
    setup.updates = !packaged;
    if (packaged) {
        std::fprintf(stderr, "%s\n", kPackagedUpdates);
        std::fflush(stderr);
    } else if (UpdateHandsOver()) {
        Say("need update , exit");
        return -1;
    }
    if (!userPlaces) {
        std::printf("open svr %d\n", LaunchService(kServiceProgram, startMask));
        std::fflush(stdout);
    } else if (!ReachUnitService(places, setup, argc, argv)) {
        return kNoService;
    }
    // A log-in or log-out after the service has gone must fail, not end the client.
    CPipeService::IgnoreBrokenPipeSignal();
    gdk_threads_set_lock_functions(G_CALLBACK(EnterGdk), G_CALLBACK(LeaveGdk));
    gdk_threads_init();
    gtk_init(&argc, &argv);
    CErrorCodeTable::GetInst()->Load();
    return RunWindow(setup);
}
