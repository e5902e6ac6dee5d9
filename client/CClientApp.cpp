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
#include "CSimpleFile.h"
#include "CUniqueFd.h"
#include "ISvrInfoCenter.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
void RunPipe(CClient* router, CClientManager* business) {
    const int opened = router->Open();
    if (opened != 0) {
        std::printf("open client pipe failed ret = %d\n", opened);
        std::fflush(stdout);
        return;
    }
    business->Start();
    router->DoWork();
}

// Builds the window, runs the pipe thread beside the GTK main loop and takes both down in order
// when the window is closed or the process is told to end.
int RunWindow() {
    CClientManager* business = CClientManager::GetInst();
    business->SetUpdateRun(&CClientApp::RunUpdate);
    CClient router;
    business->InitService(&router);
    router.RegisterBusiness(CClientManager::kName, business);

    gdk_threads_enter();
    auto window = std::make_unique<CMainWindow>(business);
    window->Build();
    business->SetMainWindow(window.get());
    const guint onTerm = g_unix_signal_add(SIGTERM, QuitOnSignal, window.get());
    const guint onInt = g_unix_signal_add(SIGINT, QuitOnSignal, window.get());
    std::thread pipe(RunPipe, &router, business);
    gtk_main();
    g_source_remove(onTerm);
    g_source_remove(onInt);
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
    return 0;
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
    return CAutoUpdate().CheckInstall();
}

void CClientApp::RunUpdate() {
    // An unreachable server or a refused answer only costs this run; the window carries on.
    CAutoUpdate().RunUpdate();
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

int CClientApp::Main(int argc, char** argv) {
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
    const std::string store = std::string(".") + kStoreFile;
    // A store that cannot be kept private is not written at all: the window still works, but
    // nothing (the password least of all) is kept for the next start.
    CInfoCenter::SetStoreFile(PrepareStore(store.c_str()) ? kStoreFile : "", ".");
    if (!StartSingle(CInfoCenter::GetInst())) {
        Say("Client Process had start!");
        return -1;
    }
    if (UpdateHandsOver()) {
        Say("need update , exit");
        return -1;
    }
    std::printf("open svr %d\n", LaunchService(kServiceProgram, startMask));
    std::fflush(stdout);
    // A log-in or log-out after the service has gone must fail, not end the client.
    CPipeService::IgnoreBrokenPipeSignal();
    gdk_threads_set_lock_functions(G_CALLBACK(EnterGdk), G_CALLBACK(LeaveGdk));
    gdk_threads_init();
    gtk_init(&argc, &argv);
    CErrorCodeTable::GetInst()->Load();
    return RunWindow();
}
