// CClientManager: the client's one business. Sends the user's commands to the service's Portal
// business and turns the service's messages into page changes and error dialogs of the window.
//
// Threads: the commands run on the GTK main thread (log-in, log-out), on the pipe thread (start)
// and on the transport's message thread (environment check); DefaultDeal runs on the message
// thread, one message at a time, so an update run holds back the next message (a dialog does
// not: the window's dialogs return at once). The window, the information center and the update
// run are set before the pipe thread starts.
//
// The service logs in again by itself after an end the user did not ask for. From its first
// "waiting for the network" or "logging in again" (33 with 150120 or 150121) until it reports
// connected (2) or gives up (3 with 150122) the business is "recovering": the window shows the
// initialising page with what the service is doing, failures of the attempts only change that
// text, and a ready portal (31) neither shows the log-in form nor runs the update.
#pragma once

#include "CBusiness.h"
#include "IClientView.h"

#include <atomic>
#include <functional>

class ISvrInfoCenter;

class CClientManager : public CBusiness {
public:
    // The name the router knows the business by, and the names on the envelopes it sends.
    static constexpr const char* kName = "NetModule";
    static constexpr const char* kSource = "client";
    static constexpr const char* kTarget = "Portal";

    // The connection states (newState of "NetStateMessageResp") the client acts on.
    enum {
        ES_CONNECTED = 2,
        ES_CONNECTFAIL = 3,
        ES_DISCONNECTED = 12,
        ES_DISCONNECTFAIL = 13,
        ES_PRECONNECTED = 31,
        ES_PRECONNECTFAIL = 32,
        ES_PRECONNECTING = 33
    };
    // The codes of the service's own recovery: no carrier or no default route (33), logging in
    // again with the seconds to the attempt as sub code (33), and re-login given up with the
    // code that ended it as sub code (3).
    static constexpr long kWaitingForNetwork = 150120;
    static constexpr long kLoggingInAgain = 150121;
    static constexpr long kRecoveryStopped = 150122;

    // The process-wide business, created on first use and never destroyed.
    static CClientManager* GetInst();

    // A business of its own (tests); programs use GetInst.
    CClientManager() = default;

    // The window whose pages the service's states choose; null leaves pages alone. Not owned.
    void SetMainWindow(IClientView* view) { m_pMainWnd.store(view); }
    // The store the log-in and "InfoCenter" values go to; null (the default) means the
    // process-wide CInfoCenter. Not owned.
    void SetInfoCenter(ISvrInfoCenter* info) { m_pInfo = info; }
    // Work done on the message thread each time the service reports the portal ready for log-in
    // (the automatic update); empty for none.
    void SetUpdateRun(std::function<void()> run) { m_updateRun = std::move(run); }

    // The four commands. Each returns whether the message was written to the service's pipe.
    bool Start();
    bool CheckEnv();
    // Also stores the account and password locally (and the account globally) before sending,
    // so the store holds them whatever the service answers.
    bool Login(const char* account, const char* password);
    bool Logout();

    void DefaultDeal(CXMLOpt& message) override;

    // The text of the initialising page while the service recovers, for code (150120 or
    // 150121) and its sub code (the seconds to the next attempt, shown unless "0").
    static CAutoString RecoveryText(long code, const char* subErrCode);

private:
    ISvrInfoCenter* Info();
    void OnStartComplete();
    void OnNetState(CXMLOpt& message);
    void OnInfoCenter(CXMLOpt& message);
    void OnPreconnecting(CXMLOpt& message, IClientView* view);
    void OnFailure(CXMLOpt& message, IClientView* view);
    void OnRecoveryStopped(CXMLOpt& message, IClientView* view);

    std::atomic<IClientView*> m_pMainWnd{nullptr};
    ISvrInfoCenter* m_pInfo = nullptr;
    std::function<void()> m_updateRun;
    bool m_bRecovering = false;  // message thread only
};
