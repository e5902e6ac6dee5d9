// IClientView: what the client business does to the main window. The GTK window implements it;
// tests put a recorder in its place. Every call may come from the pipe message thread, so an
// implementation takes whatever lock its toolkit needs.
#pragma once

class IClientView {
public:
    virtual ~IClientView() = default;

    virtual void ShowInitPage() = 0;
    virtual void ShowLoginPage() = 0;
    // The online page, its status naming the campus network for a non-zero network type and
    // plain Internet access for type 0.
    virtual void ShowOnlinePage(int netType) = 0;
    // One modal error dialog for the service's error code, sub error code and extra text; returns
    // when the user has closed it.
    virtual void ShowError(long errorCode, const char* subErrorCode, const char* externText) = 0;
};
