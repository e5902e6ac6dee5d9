#include "CClientCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "CLog.h"
#include "CPasswordInput.h"
#include "CPortalServer.h"
#include "CXMLOpt.h"
#include "INetConn.h"
#include "IPortalControl.h"

namespace {

constexpr const char* kSource = "client";
// An answer longer than this without a line feed is not an answer: it is dropped.
constexpr size_t kMaxAnswer = 4096;
// The portal's Error-Code 14 on a keep-alive: it ended the login.
constexpr int kPortalEndedLogin = 14;
// A state query found the login gone while connected.
constexpr int kStateLoginGone = 20010004;

CLog* Log() {
    return CLog::GetInst();
}

// The program's way into the Portal business: through its opcode table on the calling thread,
// which is where the window's messages land after routing.
class PortalServerControl : public IPortalControl {
public:
    void ClientStart() override {
        Deliver(CBusiness::BuildEnvelope(kSource, CPortalServer::kName, "ClientStart", ""));
    }
    void PortalConnect(CXMLOpt& message) override { Deliver(message.GetDoc(nullptr)); }
    void PortalDisConnect(CXMLOpt& message) override { Deliver(message.GetDoc(nullptr)); }
    void CheckNetStatus(int delay) override { CPortalServer::GetInst()->CheckNetStatus(delay); }
    CAutoString LastLogoutReason() override { return CPortalServer::GetInst()->LastLogoutReason(); }

private:
    static void Deliver(const CAutoString& message) {
        CPortalServer::GetInst()->DealMsg(message.c_str());
    }
};

// Everything the user may have typed is still on its way to the terminal or file; the process
// then leaves at once, so no thread is joined and no destructor runs.
void FlushAndLeave(int status) {
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

const char* CClientCommand::ExitStatusName(int status) {
    static const struct {
        ExitStatus status;
        const char* name;
    } kTable[] = {
        {kExitLoggedOut, "logged out"},
        {kExitDetectionFailed, "detection failed"},
        {kExitLoginFailed, "log-in failed"},
        {kExitKeepAliveLost, "keep-alive lost"},
        {kExitPortalEnded, "login ended by the portal"},
        {kExitSharingDetected, "sharing detected"},
        {kExitLogoutFailed, "log-out failed"},
    };
    for (const auto& entry : kTable) {
        if (entry.status == status)
            return entry.name;
    }
    return "unknown";
}

CClientCommand* CClientCommand::GetInst() {
    // Never destroyed: its message thread may run until the process ends.
    static CClientCommand* const instance = new CClientCommand();
    return instance;
}

// The end always comes on the message thread, never on the answer reader: the reader is stopped
// and joined first, so that no finished thread is left unjoined when the process leaves. No
// destructor runs after _exit, so the resolver file is put back here, whatever the status.
CClientCommand::CClientCommand()
    : CClientCommand(new PortalServerControl(), stdout, [this](int status) {
          StopAnswerReader();
          CPortalServer::GetInst()->RestoreDNSForExit();
          FlushAndLeave(status);
      }) {}

CClientCommand::CClientCommand(IPortalControl* portal, FILE* out, EndProcessFun endProcess)
    : m_portal(portal), m_out(out), m_endProcess(std::move(endProcess)) {}

CClientCommand::~CClientCommand() {
    Stop();
}

void CClientCommand::SetUserInfo(CAutoString account, CAutoString password) {
    std::lock_guard<std::mutex> guard(m_userLock);
    m_strAccount = std::move(account);
    m_strPassword = std::move(password);
}

void CClientCommand::GetUserInfo(CAutoString& account, CAutoString& password) {
    std::lock_guard<std::mutex> guard(m_userLock);
    account = m_strAccount;
    password = m_strPassword;
}

void CClientCommand::Start() {
    // Marked first: the Portal business answers "ClientStart" before the call returns, and that
    // answer must already be copied here.
    m_started = true;
    StartMsgEngine();
    // Answers count from the start: "y" before any login ends the run.
    StartAnswerReader();
    m_portal->ClientStart();
}

void CClientCommand::Stop() {
    StopAnswerReader();
    StopMsgEngineAndWait();
}

void CClientCommand::DoMessage(CAutoString message) {
    CXMLOpt doc;
    if (!message.IsNull())
        doc.SetDoc(message.c_str());
    DefaultDeal(doc);
}

void CClientCommand::DefaultDeal(CXMLOpt& message) {
    const CAutoString opcode = message.GetValue("OpC");
    if (opcode == "NetStateMessageResp") {
        DealNetStateMessage(message);
    } else if (opcode == "ClientStartComplete") {
        StartComplete(message);
    } else if (opcode == "PortalDisConnect" && message.GetValue("OpS") == kSource) {
        // Queued by the answer reader; the service itself never posts this operation.
        DealLogoutAnswer(message);
    }
}

void CClientCommand::DealLogoutAnswer(CXMLOpt& message) {
    if (!m_connected) {
        Print("No login is held; ending.\n");
        EndProcess(kExitLoggedOut);
        return;
    }
    Log()->WriteLog(CLog::INFO, "console: logout requested");
    m_logoutAsked = true;
    m_portal->PortalDisConnect(message);
}

void CClientCommand::StartComplete(CXMLOpt& message) {
    (void)message;
    m_portal->CheckNetStatus(0);
}

void CClientCommand::DealNetStateMessage(CXMLOpt& message) {
    switch (message.GetIntValue("P.newState")) {
        case INetConn::ES_PRECONNECTED:
            DealPreConnectedMsg();
            break;
        case INetConn::ES_PRECONNECTFAIL:
            DealPreConnectFailMsg(message);
            break;
        case INetConn::ES_CONNECTING:
            // Posted when the portal starts on a log-in; only the one this run sent counts.
            m_loginRunning = m_loginSent && !m_connected;
            break;
        case INetConn::ES_CONNECTED:
            DealConnectedMsg(message);
            break;
        case INetConn::ES_CONNECTFAIL:
            DealConnectFailMsg(message);
            break;
        case INetConn::ES_DISCONNECTED:
            DealDisconnectedMsg(message);
            break;
        default:  // detecting (33) and the rest change nothing
            break;
    }
}

void CClientCommand::DealPreConnectedMsg() {
    m_openNetShown = false;
    if (m_loginRunning) {
        // The log-in went back to a ticket without a report (the portal's Error-Code 14).
        Print("login fail, the portal refused the log-in without an error code\n");
        EndProcess(kExitLoginFailed);
        return;
    }
    // A client that starts again is shown the ready state anew; the log-in goes once.
    if (m_loginSent)
        return;
    m_loginSent = true;
    CAutoString account, password;
    GetUserInfo(account, password);
    // Escaped like every value a sender puts into an envelope, so "<" or "&" in a password
    // arrives intact instead of making the message unreadable.
    CAutoString param = CBusiness::MakeParam("user", account.c_str()) +
                        CBusiness::MakeParam("password", password.c_str());
    CAutoString text =
        CBusiness::BuildEnvelope(kSource, CPortalServer::kName, "PortalConnect", param.c_str());
    CXMLOpt login;
    const bool built = login.SetDoc(text.c_str());
    // The password's copies made here are of no further use.
    CPasswordInput::Wipe(password);
    CPasswordInput::Wipe(param);
    CPasswordInput::Wipe(text);
    if (!built) {
        Log()->WriteLog(CLog::ERROR, "console: the log-in message could not be built");
        return;
    }
    m_portal->PortalConnect(login);
}

void CClientCommand::DealPreConnectFailMsg(CXMLOpt& message) {
    const int errorCode = message.GetIntValue("P.ErrorCode");
    const CAutoString subCode = message.GetValue("P.subErrCode");
    Log()->WriteLog(CLog::INFO, "console: detection failed (type %s, old state %s, %d, %s, %s, %s)",
                    message.GetValue("P.type").c_str(), message.GetValue("P.oldState").c_str(),
                    errorCode, subCode.c_str(), message.GetValue("P.subType").c_str(),
                    message.GetValue("P.extern").c_str());
    Print("Init environment fail,Please restart the program,the error is %d, subcode is %s\n",
          errorCode, subCode.c_str());
    EndProcess(kExitDetectionFailed);
}

void CClientCommand::DealConnectedMsg(CXMLOpt& message) {
    if (message.GetIntValue("P.type") == INetConn::ET_UNKNOWN) {
        // An open network, or one whose log-in page was caught on the way: not this run's login.
        if (!m_openNetShown)
            Print("%s\n", kOpenNetwork);
        m_openNetShown = true;
        return;
    }
    m_connected = true;
    m_loginRunning = false;
    if (m_promptShown)
        return;
    m_promptShown = true;
    Print("%s\n", kPrompt);
}

void CClientCommand::DealConnectFailMsg(CXMLOpt& message) {
    const int code = message.GetIntValue("P.ErrorCode");
    const CAutoString sub = message.GetValue("P.subErrCode");
    if (!m_connected) {
        Print("login fail, the error is %d, subcode is %s\n", code, sub.c_str());
        EndProcess(kExitLoginFailed);
    } else if (m_logoutAsked) {
        Print("logout fail, the error is %d, subcode is %s\n", code, sub.c_str());
        EndProcess(kExitLogoutFailed);
    } else if (code == kStateLoginGone) {
        Print("login ended by the portal, the error is %d\n", code);
        EndProcess(kExitPortalEnded);
    } else {
        Print("keep-alive lost, the error is %d, subcode is %s\n", code, sub.c_str());
        EndProcess(kExitKeepAliveLost);
    }
}

void CClientCommand::DealDisconnectedMsg(CXMLOpt& message) {
    // Before this run logged in (or found itself connected) the service is only ending a login
    // left open by an earlier run; it checks the network again afterwards, and the log-in follows.
    if (!m_loginSent && !m_connected) {
        Log()->WriteLog(CLog::INFO, "console: an earlier login was closed");
        return;
    }
    m_connected = false;
    const int code = message.GetIntValue("P.ErrorCode");
    if (code == kPortalEndedLogin) {
        Print("login ended by the portal, the error is %d\n", code);
        EndProcess(kExitPortalEnded);
        return;
    }
    if (m_logoutAsked) {
        EndProcess(kExitLoggedOut);
        return;
    }
    const CAutoString reason = m_portal->LastLogoutReason();
    if (reason == "7")
        return;  // the service is stopping on request and ends by itself with status 0
    if (reason == "6") {
        Print("logged out: sharing of the connection was detected\n");
        EndProcess(kExitSharingDetected);
    } else if (reason == "3" || reason == "4") {
        Print("keep-alive lost, logged out\n");
        EndProcess(kExitKeepAliveLost);
    } else {
        // Another client of this service asked for the log-out.
        EndProcess(kExitLoggedOut);
    }
}

void CClientCommand::EndProcess(int status) {
    Log()->WriteLog(CLog::INFO, "console: end with status %d (%s)", status, ExitStatusName(status));
    m_endProcess(status);
}

void CClientCommand::Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(m_out, format, args);
    va_end(args);
    std::fflush(m_out);
}

// ---- Answer reader -----------------------------------------------------------------------------

void CClientCommand::StartAnswerReader() {
    std::lock_guard<std::mutex> guard(m_readerLock);
    if (m_reader.joinable())
        return;
    if (pipe2(m_wakeFds, O_CLOEXEC) != 0) {
        Log()->WriteLog(CLog::ERROR, "console: answers cannot be read (pipe: errno %d)", errno);
        m_wakeFds[0] = m_wakeFds[1] = -1;
        return;
    }
    m_reader = std::thread(&CClientCommand::ReadAnswers, this);
}

void CClientCommand::StopAnswerReader() {
    std::lock_guard<std::mutex> guard(m_readerLock);
    if (!m_reader.joinable())
        return;
    const char stop = 1;
    // A full pipe still wakes the reader, so the result does not matter.
    (void)!write(m_wakeFds[1], &stop, 1);
    m_reader.join();
    close(m_wakeFds[0]);
    close(m_wakeFds[1]);
    m_wakeFds[0] = m_wakeFds[1] = -1;
}

bool CClientCommand::WaitBeforeRetry() {
    pollfd wake = {m_wakeFds[0], POLLIN, 0};
    return poll(&wake, 1, 1000) == 0;
}

void CClientCommand::ReadAnswers() {
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{m_inputFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0 || (fds[0].revents & POLLNVAL) != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        char chunk[256];
        const ssize_t got = read(m_inputFd, chunk, sizeof chunk);
        if (got == 0)
            break;  // end of input: nothing more will be answered, and that is no log-out
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            // EIO: a background job reading its terminal (the stop signal for that is ignored);
            // it may be brought to the foreground later.
            if (errno == EIO && WaitBeforeRetry())
                continue;
            return;
        }
        pending.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            OnAnswer(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        if (pending.size() > kMaxAnswer)
            pending.clear();
    }
    // A last answer without its line feed still counts.
    if (!pending.empty())
        OnAnswer(pending);
}

void CClientCommand::OnAnswer(std::string line) {
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    if (line != "y" && line != "Y")
        return;
    // Handled on the message thread like every other command of this business.
    const CAutoString param = CBusiness::MakeParam("src", kLogoutReason);
    AddMessage(
        CBusiness::BuildEnvelope(kSource, CPortalServer::kName, "PortalDisConnect", param.c_str()));
}
