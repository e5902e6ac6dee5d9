// CMainWindow: the client's GTK 2 window. One fixed-size top-level window showing one of three
// pages at a time: initialising, log-in form, online with a log-out button.
//
// Threads: Build and the button actions run on the GTK main thread, which holds the GDK lock
// while it dispatches events. The IClientView calls come from the pipe message thread; each
// takes the GDK lock for its change, and an error dialog runs its own loop under that lock.
// Pages are built once and never destroyed while the window lives, so a form keeps what the
// user typed when it comes back.
//
// Every page change and every error dialog is also written as one line to standard output
// ("page: login", "error dialog: ..."), so a person or a test watching the terminal can follow
// the window without looking at pixels.
#pragma once

#include "CAutoString.h"
#include "IClientView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <vector>

class CClientManager;

class CMainWindow : public IClientView {
public:
    // The window and page sizes and the texts the user sees.
    static constexpr int kWidth = 300;
    static constexpr int kHeight = 299;
    static constexpr const char* kTitle = "Orvane校园";
    static constexpr const char* kErrorTitle = "错误提示";
    static constexpr const char* kCampusText = "已连接校园光网";
    static constexpr const char* kInternetText = "已连接Internet";

    // business receives the log-in and log-out commands; not owned, it must outlive the window.
    explicit CMainWindow(CClientManager* business) : m_pBusiness(business) {}
    ~CMainWindow() override;
    // GTK signal handlers hold this object's address.
    CMainWindow(const CMainWindow&) = delete;
    CMainWindow& operator=(const CMainWindow&) = delete;

    // Builds the window with its three pages and shows it on the initialising page. Closing the
    // window quits the GTK main loop. Main thread, after gtk_init.
    void Build();

    void ShowInitPage() override;
    void ShowLoginPage() override;
    void ShowOnlinePage(int netType) override;
    void ShowError(long errorCode, const char* subErrorCode, const char* externText) override;

    // Ends every open error dialog as if its user had closed it, so a window told to end does
    // not wait for someone to press OK. Caller holds the GDK lock.
    void CloseDialogs();

    // The text a dialog shows for an error: the error-code table's text, or "错误码：<code>" when
    // the table yields none.
    static CAutoString ErrorText(long errorCode, const char* subErrorCode, const char* externText);

private:
    enum Page { PAGE_INIT, PAGE_LOGIN, PAGE_ONLINE, PAGE_COUNT };

    GtkWidget* BuildInitPage();
    GtkWidget* BuildLoginPage();
    GtkWidget* BuildOnlinePage();
    // Switches the window's content to page under the GDK lock; nothing happens when it is shown.
    void SwitchPage(Page page);
    void OnLogin();
    // A modal error dialog with one OK button; text is shown as it stands. Caller holds the lock.
    void RunErrorDialog(GtkWindow* parent, const char* text);

    static void LoginClicked(GtkWidget* button, gpointer self);
    static void LogoutClicked(GtkWidget* button, gpointer self);
    static void WindowDestroyed(GtkWidget* window, gpointer self);

    CClientManager* m_pBusiness;
    GtkWidget* m_pWindow = nullptr;
    GtkWidget* m_pPages[PAGE_COUNT] = {nullptr, nullptr, nullptr};
    Page m_current = PAGE_INIT;  // read and written under the GDK lock
    GtkWidget* m_pAccount = nullptr;
    GtkWidget* m_pPassword = nullptr;
    GtkWidget* m_pStatus = nullptr;
    std::vector<GtkWidget*> m_openDialogs;  // under the GDK lock
};
