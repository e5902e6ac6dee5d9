#include "CClientCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>

#include "CErrorCodeTable.h"
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
constexpr long kPortalEndedLogin = 14;
// A state query found the login gone while connected.
constexpr long kStateLoginGone = 20010004;
// The service's notices while it recovers (their sub-codes: seconds to the next attempt, and the
// code that ended the recovery).
constexpr long kWaitingForLink = 150120;
constexpr long kLoggingInAgain = 150121;
constexpr long kReloginStopped = 150122;
// The logout reasons that end a run: the window's, and the one for sharing.
constexpr const char* kWindowLogout = "2";
constexpr const char* kSharingLogout = "6";

// Refusals that retrying cannot mend: the account, its password or the client version.
bool IsLoginRefusal(long code) {
    static const long kRefusals[] = {140011, 140012, 140105, 150200, 150201, 140003};
    for (long refusal : kRefusals) {
        if (code == refusal)
            return true;
    }
    return false;
}

// Progress of the network check (30000101...): not an event of its own.
bool IsProgress(long code) {
    return code == 0 || (code >= 30000100 && code <= 30000199);
}

// Values from the portal reach the terminal: control characters (escape sequences among them)
// are shown as "?".
std::string Printable(const char* text) {
    std::string out(text ? text : "");
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = '?';
    }
    return out;
}

long Code(CXMLOpt& message) {
    return std::strtol(message.GetValue("P.ErrorCode").c_str(), nullptr, 10);
}

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
    void SetAutoLogin(const CAutoString& loginMessage) override {
        CPortalServer::GetInst()->SetAutoLogin(loginMessage);
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

CClientCommand::CClientCommand(IPortalControl* portal, FILE* out, EndProcessFun endProcess,
                               CErrorCodeTable* texts)
    : m_portal(portal),
      m_out(out),
      m_endProcess(std::move(endProcess)),
      m_texts(texts != nullptr ? texts : CErrorCodeTable::GetInst()) {}

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
    // Before the start, so the business can log in again from its first attempt on.
    CAutoString login;
    if (BuildLogin(login))
        m_portal->SetAutoLogin(login);
    CPasswordInput::Wipe(login);
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
    if (m_phase != kOnline) {
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
        case INetConn::ES_PRECONNECTING:
            DealPreConnectingMsg(message);
            break;
        case INetConn::ES_PRECONNECTED:
            DealPreConnectedMsg();
            break;
        case INetConn::ES_PRECONNECTFAIL:
            m_phase = kDetecting;
            DealFailure("network check failed", message);
            break;
        case INetConn::ES_CONNECTING:
            if (m_phase != kOnline)
                m_phase = kLoggingIn;
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
        case INetConn::ES_DISCONNECTFAIL:
            DealDisconnectFailMsg(message);
            break;
        default:
            break;
    }
}

void CClientCommand::DealPreConnectingMsg(CXMLOpt& message) {
    const long code = Code(message);
    const CAutoString sub = message.GetValue("P.subErrCode");
    if (code == kWaitingForLink) {
        // Once per loss; the login may still be held when the link comes back.
        if (!m_linkLost)
            PrintEvent("link lost", code, CAutoString(""), CAutoString(""));
        m_linkLost = true;
        return;
    }
    // A renewed algorithm container is announced in the middle of any conversation, a log-in's
    // too: it says nothing about where a following failure came from.
    if (code == 30000104 || code == 30000105)
        return;
    m_phase = kDetecting;
    if (code == kLoggingInAgain) {
        m_relogging = true;
        const std::string seconds = sub.IsEmpty() ? "" : sub.c_str();
        const bool counted = !seconds.empty() && seconds.size() < 10 &&
                             seconds.find_first_not_of("0123456789") == std::string::npos;
        const std::string what = !counted ? "logging in again"
                                 : std::atol(seconds.c_str()) == 0
                                     ? "logging in again now"
                                     : "logging in again in " + seconds + " s";
        PrintEvent(what.c_str(), code, CAutoString(""), CAutoString(""));
    } else if (!IsProgress(code)) {
        // A detection or ticket failure reported with the extended message (an HTTP error).
        DealFailure("network check failed", message);
    }
}

void CClientCommand::DealPreConnectedMsg() {
    m_openNetShown = false;
    m_phase = kLoggingIn;
    // Later ready states are the service's own re-login cycles, or a client that starts again
    // and is shown the ready state anew: the log-in goes once.
    if (m_loginSent)
        return;
    m_loginSent = true;
    CAutoString text;
    if (!BuildLogin(text)) {
        Log()->WriteLog(CLog::ERROR, "console: the log-in message could not be built");
        return;
    }
    CXMLOpt login;
    const bool built = login.SetDoc(text.c_str());
    CPasswordInput::Wipe(text);
    if (built)
        m_portal->PortalConnect(login);
}

bool CClientCommand::BuildLogin(CAutoString& text) {
    CAutoString account, password;
    GetUserInfo(account, password);
    // Escaped like every value a sender puts into an envelope, so "<" or "&" in a password
    // arrives intact instead of making the message unreadable.
    CAutoString param = CBusiness::MakeParam("user", account.c_str()) +
                        CBusiness::MakeParam("password", password.c_str());
    text = CBusiness::BuildEnvelope(kSource, CPortalServer::kName, "PortalConnect", param.c_str());
    // The password's copies made here are of no further use.
    CPasswordInput::Wipe(password);
    CPasswordInput::Wipe(param);
    return !text.IsEmpty();
}

void CClientCommand::DealFailure(const char* what, CXMLOpt& message) {
    const CAutoString sub = message.GetValue("P.subErrCode");
    const CAutoString extra = message.GetValue("P.extern");
    Log()->WriteLog(CLog::INFO, "console: %s (type %s, old state %s, %ld, %s, %s, %s)", what,
                    message.GetValue("P.type").c_str(), message.GetValue("P.oldState").c_str(),
                    Code(message), sub.c_str(), message.GetValue("P.subType").c_str(),
                    extra.c_str());
    m_failurePhase = m_phase;
    PrintEvent(what, Code(message), sub, extra);
}

void CClientCommand::DealConnectedMsg(CXMLOpt& message) {
    if (message.GetIntValue("P.type") == INetConn::ET_UNKNOWN) {
        // An open network, or one whose log-in page was caught on the way: not this run's login.
        if (!m_openNetShown)
            Print("%s\n", kOpenNetwork);
        m_openNetShown = true;
        return;
    }
    const bool wasOnline = m_phase == kOnline;
    m_phase = kOnline;
    if (!m_promptShown) {
        m_promptShown = true;
        Print("%s\n", kPrompt);
    } else if (m_relogging) {
        Print("logged in again\n");
    } else if (m_linkLost && wasOnline) {
        Print("link back, still logged in\n");
    }
    m_linkLost = false;
    m_relogging = false;
}

void CClientCommand::DealConnectFailMsg(CXMLOpt& message) {
    const long code = Code(message);
    if (code == kReloginStopped) {
        DealReloginStopped(message);
    } else if (m_logoutAsked && m_phase == kOnline) {
        DealFailure("logout fail", message);
        EndProcess(kExitLogoutFailed);
    } else if (m_phase != kOnline) {
        DealFailure("login fail", message);
    } else if (code == kStateLoginGone) {
        DealFailure("login ended by the portal", message);
    } else {
        DealFailure("keep-alive lost", message);
    }
}

void CClientCommand::DealReloginStopped(CXMLOpt& message) {
    const CAutoString sub = message.GetValue("P.subErrCode");
    PrintEvent("automatic re-login stopped", kReloginStopped, sub, CAutoString(""));
    EndProcess(StoppedStatus(std::strtol(sub.c_str(), nullptr, 10), m_failurePhase));
}

int CClientCommand::StoppedStatus(long code, Phase phase) {
    if (IsLoginRefusal(code))
        return kExitLoginFailed;
    if (code == kPortalEndedLogin || code == kStateLoginGone)
        return kExitPortalEnded;
    if (code == 150108)  // no keep-alive answer the portal made
        return kExitKeepAliveLost;
    if ((code >= 20010000 && code <= 20019999) || code == 150103 || code == 150106 ||
        code == 150107)
        return kExitDetectionFailed;
    // The portal's own codes (140000 + n) and the rest tell by where they came.
    switch (phase) {
        case kOnline:
            return kExitKeepAliveLost;
        case kLoggingIn:
            return kExitLoginFailed;
        default:
            return kExitDetectionFailed;
    }
}

void CClientCommand::DealDisconnectedMsg(CXMLOpt& message) {
    // Before this run logged in (or found itself connected) the service is only ending a login
    // left open by an earlier run; it checks the network again afterwards, and the log-in follows.
    if (!m_loginSent && m_phase != kOnline) {
        Log()->WriteLog(CLog::INFO, "console: an earlier login was closed");
        return;
    }
    m_phase = kDetecting;
    if (Code(message) == kPortalEndedLogin) {
        m_failurePhase = kOnline;
        PrintEvent("login ended by the portal", kPortalEndedLogin, CAutoString(""),
                   CAutoString(""));
    }
    if (m_logoutAsked) {
        EndProcess(kExitLoggedOut);
        return;
    }
    const CAutoString reason = m_portal->LastLogoutReason();
    if (reason == kSharingLogout) {
        Print("logged out: sharing of the connection was detected\n");
        EndProcess(kExitSharingDetected);
    } else if (reason == kWindowLogout && Code(message) != kPortalEndedLogin) {
        EndProcess(kExitLoggedOut);  // another client of this service asked for the log-out
    }
    // The shut-down's logout ("7") ends the program by itself; after any other end the service
    // logs in again or says it stopped.
}

void CClientCommand::DealDisconnectFailMsg(CXMLOpt& message) {
    // An intercepted log-out: refused as far as the one who asked for it is concerned.
    if (!m_logoutAsked)
        return;
    DealFailure("logout fail", message);
    EndProcess(kExitLogoutFailed);
}

void CClientCommand::PrintEvent(const char* what, long code, const CAutoString& sub,
                                const CAutoString& extra) {
    CAutoString text;
    const bool found = m_texts->FindErrorText(code, sub.c_str(), extra.c_str(), text) ||
                       (!sub.IsEmpty() && m_texts->FindErrorText(code, "", extra.c_str(), text));
    std::string line = what;
    if (found && !text.IsEmpty())
        line += ": " + Printable(text.c_str());
    line += " (" + std::to_string(code);
    if (!sub.IsEmpty())
        line += ", " + Printable(sub.c_str());
    line += ")";
    Print("%s\n", line.c_str());
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
