// CClientCommand: the console log-in. When the service is started with an account and a password
// it plays the desktop client's part inside the service: it hands the Portal business its log-in
// (which the business sends again by itself after a login it lost), starts the business, sends
// the log-in once the network is ready, prints one line per event on standard output (with the
// text of conf/code.xml beside each code) and ends the process when the service gives up.
//
// It is not registered with the router. The router queues a copy of every message the service
// posts for it once Start has run (CServer::SetConsole); they are handled one at a time on this
// business's own message thread, which is also the thread that gives the Portal business its
// commands.
//
// From the start it reads answers from standard input on a thread of its own: a line "y" logs
// out the way the window does (reason 2) when a login is held, and the disconnected state then
// ends the process with status 0; without a login "y" ends the process at once with status 0.
// End of input only ends the reading.
//
// A run stays through drops and recoveries: a lost link, the link back, a login lost and the
// service logging in again are printed and waited out. It ends only on a requested log-out (0:
// "y", the window's, or a stop signal, after which the program ends by itself), a log-out for
// sharing (5), a refused log-out asked for with "y" (6), or the service's notice that it stopped
// logging in again (150122), whose status tells why (ExitStatus). A disconnected state that comes
// before this run has sent its log-in or been connected (the service closing a login left open
// by an earlier run) does not end it. An open network (a connected state of type 0) is reported
// once and waited out: a portal that appears later is logged in to as usual.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "CAutoString.h"
#include "CBusiness.h"
#include "CMsgEngine.h"

class CErrorCodeTable;
class IPortalControl;

class CClientCommand : public CBusiness, public CMsgEngine {
public:
    // How a console run ends; a service manager that restarts on failure relies on the values.
    enum ExitStatus {
        kExitLoggedOut = 0,        // the log-out that was asked for ("y" or a stop signal)
        kExitDetectionFailed = 1,  // re-login stopped: the network check or the ticket failed
        kExitLoginFailed = 2,      // the portal refused the log-in
        kExitKeepAliveLost = 3,    // re-login stopped: keep-alives failed beyond the tolerance
        kExitPortalEnded = 4,      // re-login stopped: the portal ended the login
        kExitSharingDetected = 5,  // logged out for sharing the connection
        kExitLogoutFailed = 6,     // the log-out asked for was refused by the portal
    };
    // Name of a status, for the log; "unknown" outside the table.
    static const char* ExitStatusName(int status);
    static constexpr const char* kOpenNetwork =
        "The network needs no portal log-in; waiting for a portal.";
    static constexpr const char* kPrompt = "If you want go to offline, Please enter [y]:";
    // The reason of the window's log-out, sent with the console's as well.
    static constexpr const char* kLogoutReason = "2";

    // Ends the process with the given status; must not return in the program.
    typedef std::function<void(int status)> EndProcessFun;

    // The process's console business, created on first use and never destroyed: it commands the
    // process-wide Portal business, prints on standard output and ends the process by flushing
    // standard output and leaving at once (_exit; no destructor runs, threads still running are
    // not joined).
    static CClientCommand* GetInst();

    // For tests: commands go to portal (not owned, must outlive this object), lines are printed to
    // out with the texts of texts (not owned; null: the process's table), and endProcess is
    // called instead of ending the process (it may return; handling then goes on with the next
    // message).
    CClientCommand(IPortalControl* portal, FILE* out, EndProcessFun endProcess,
                   CErrorCodeTable* texts = nullptr);
    // Stops the message thread and the answer reader and waits for both.
    ~CClientCommand() override;

    void SetUserInfo(CAutoString account, CAutoString password);
    void GetUserInfo(CAutoString& account, CAutoString& password);
    // Where answers are read once connected; standard input (0) unless set before Start. The
    // descriptor is not owned.
    void SetAnswerInput(int fd) { m_inputFd = fd; }

    // Starts the message thread, hands the Portal business the log-in (SetAutoLogin), then asks
    // it to start ("ClientStart"). From then on the router queues copies of the service's
    // messages here.
    void Start();
    bool IsStarted() const { return m_started.load(); }
    // Orderly end of the program: stops the message thread and the answer reader, waiting for
    // both. Not called from the message thread.
    void Stop();

    // Message thread: "NetStateMessageResp" and "ClientStartComplete" from the service, and the
    // log-out that an answer "y" queued; everything else is ignored.
    void DefaultDeal(CXMLOpt& message) override;
    // The Portal business has started: ask it to check the network now.
    void StartComplete(CXMLOpt& message);
    // Acts on "P.newState" (see the source for the table).
    void DealNetStateMessage(CXMLOpt& message);

protected:
    // Parses one queued message and hands it to DefaultDeal; unparsable text reads as no opcode.
    void DoMessage(CAutoString message) override;

private:
    // Where the run stands, for the status of an end the service gives up on: the phase in which
    // the failure that ended it came.
    enum Phase { kDetecting, kLoggingIn, kOnline };

    CClientCommand();

    void DealPreConnectingMsg(CXMLOpt& message);
    void DealPreConnectedMsg();
    void DealFailure(const char* what, CXMLOpt& message);
    void DealConnectedMsg(CXMLOpt& message);
    void DealConnectFailMsg(CXMLOpt& message);
    void DealDisconnectedMsg(CXMLOpt& message);
    void DealDisconnectFailMsg(CXMLOpt& message);
    void DealLogoutAnswer(CXMLOpt& message);
    void DealReloginStopped(CXMLOpt& message);
    // The log-in message with account and password; false when it cannot be built. The caller
    // wipes it after use.
    bool BuildLogin(CAutoString& text);
    // The exit status when re-login stopped after the failure code, which came in phase.
    static int StoppedStatus(long code, Phase phase);
    // "what: TEXT (CODE)" or "what: TEXT (CODE, SUB)", the text from the table (the extra text
    // in its "%s"); "what (CODE)" when the table has none.
    void PrintEvent(const char* what, long code, const CAutoString& sub, const CAutoString& extra);
    void EndProcess(int status);
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Answer reader thread.
    void StartAnswerReader();
    void StopAnswerReader();
    void ReadAnswers();
    // False when the reader was told to stop.
    bool WaitBeforeRetry();
    void OnAnswer(std::string line);

    IPortalControl* m_portal;
    FILE* m_out;
    EndProcessFun m_endProcess;

    std::mutex m_userLock;
    CAutoString m_strAccount;
    CAutoString m_strPassword;

    CErrorCodeTable* m_texts;

    std::atomic<bool> m_started{false};
    // Message thread only.
    bool m_loginSent = false;
    bool m_promptShown = false;
    Phase m_phase = kDetecting;
    Phase m_failurePhase = kDetecting;  // the phase of the last failure printed
    bool m_logoutAsked = false;         // "y" was answered while connected
    bool m_openNetShown = false;        // the open-network line stands for the current round
    bool m_linkLost = false;            // the link went down since the last connected state
    bool m_relogging = false;           // logging in again since the last connected state

    int m_inputFd = 0;
    int m_wakeFds[2] = {-1, -1};  // the reader's stop signal: a pipe written once by Stop
    std::mutex m_readerLock;      // guards starting and stopping the reader thread
    std::thread m_reader;
};
