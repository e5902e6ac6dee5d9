// IClientView: what the client business does to the main window. The GTK window implements it;
// tests put a recorder in its place. Every call may come from the pipe message thread, so an
// implementation takes whatever lock its toolkit needs.
#pragma once

class IClientView {
public:
    virtual ~IClientView() = default;

    // The initialising page with its own text.
    virtual void ShowInitPage() = 0;
    // The initialising page with text in its place: the service is offline and mending it by
    // itself (waiting for the network, logging in again), so there is nothing to press.
    virtual void ShowRecoveryPage(const char* text) = 0;
    virtual void ShowLoginPage() = 0;
    // The online page, its status naming the campus network for a non-zero network type and
    // plain Internet access for type 0.
    virtual void ShowOnlinePage(int netType) = 0;
    // The error dialog for the service's error code, sub error code and extra text. Returns at
    // once: a dialog that is still open shows the new text instead of a second dialog appearing.
    virtual void ShowError(long errorCode, const char* subErrorCode, const char* externText) = 0;
};
