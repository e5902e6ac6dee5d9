// CClientManager: the client's one business. Sends the user's commands to the service's Portal
// business and turns the service's messages into page changes and error dialogs of the window.
//
// Threads: the commands run on the GTK main thread (log-in, log-out), on the pipe thread (start)
// and on the transport's message thread (environment check); DefaultDeal runs on the message
// thread, one message at a time, so a dialog or an update run holds back the next message.
// The window, the information center and the update run are set before the pipe thread starts.
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
        ES_PRECONNECTFAIL = 32
    };

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

private:
    ISvrInfoCenter* Info();
    void OnNetState(CXMLOpt& message);
    void OnInfoCenter(CXMLOpt& message);
    void OnError(CXMLOpt& message, IClientView* view);

    std::atomic<IClientView*> m_pMainWnd{nullptr};
    ISvrInfoCenter* m_pInfo = nullptr;
    std::function<void()> m_updateRun;
};
