// CMainWindow: the client's GTK 2 window. One fixed-size top-level window showing one of three
// pages at a time: initialising, log-in form, online with a log-out button.
//
// Threads: Build and the button actions run on the GTK main thread, which holds the GDK lock
// while it dispatches events. The IClientView calls come from the pipe message thread; each
// takes the GDK lock for its change and returns. Pages are built once and never destroyed while
// the window lives, so a form keeps what the user typed when it comes back.
//
// There is at most one error dialog. It is modal for the user but no thread waits on it: an
// error that arrives while it is open replaces its text, so errors never pile up as a stack of
// dialogs each waiting for the one above it to be closed.
//
// Every page change and every error dialog is also written as one line to standard output
// ("page: login", "init text: ...", "error dialog: ..." when a dialog opens, "error text: ..."
// when the open one gets a new text), so a person or a test watching the terminal can follow the
// window without looking at pixels.
#pragma once

#include "CAutoString.h"
#include "IClientView.h"

#include <gtk/gtk.h>

class CClientManager;

class CMainWindow : public IClientView {
public:
    // The window and page sizes and the texts the user sees.
    static constexpr int kWidth = 300;
    static constexpr int kHeight = 299;
    static constexpr const char* kTitle = "Orvane校园";
    static constexpr const char* kErrorTitle = "错误提示";
    static constexpr const char* kInitText = "正在初始化环境，请稍后...";
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
    void ShowRecoveryPage(const char* text) override;
    void ShowLoginPage() override;
    void ShowOnlinePage(int netType) override;
    void ShowError(long errorCode, const char* subErrorCode, const char* externText) override;

    // An error dialog of its own, before any window exists (the client refusing to start):
    // shows text and returns once the user has closed it. Main thread, after gtk_init.
    static void RunAlone(const char* text);

    // The end of the window (destroyed, or told to end): takes the error dialog away and makes
    // every later page change and dialog a no-op, since the message thread may still deliver the
    // service's messages until it is stopped. Caller holds the GDK lock; repeating it is harmless.
    void Close();

    // The text a dialog shows for an error: the error-code table's text, or "错误码：<code>" when
    // the table yields none.
    static CAutoString ErrorText(long errorCode, const char* subErrorCode, const char* externText);

private:
    enum Page { PAGE_INIT, PAGE_LOGIN, PAGE_ONLINE, PAGE_COUNT };

    GtkWidget* BuildInitPage();
    GtkWidget* BuildLoginPage();
    GtkWidget* BuildOnlinePage();
    // Switches the window's content to page; nothing happens when it is shown. Caller holds the
    // GDK lock and has checked that the window is not closed.
    void SwitchPage(Page page);
    // The initialising page with text on it.
    void ShowInitText(const char* text);
    void OnLogin();
    // Opens the error dialog (modal, one OK button, text shown as it stands, parent may be null)
    // or, when it is open already, gives it text instead. Caller holds the GDK lock.
    void PresentError(GtkWindow* parent, const char* text);
    // Takes the error dialog away if one is open. Caller holds the GDK lock.
    void CloseDialogs();

    static void LoginClicked(GtkWidget* button, gpointer self);
    static void LogoutClicked(GtkWidget* button, gpointer self);
    static void WindowDestroyed(GtkWidget* window, gpointer self);
    static void DialogAnswered(GtkDialog* dialog, gint response, gpointer self);

    CClientManager* m_pBusiness;
    GtkWidget* m_pWindow = nullptr;
    GtkWidget* m_pPages[PAGE_COUNT] = {nullptr, nullptr, nullptr};
    Page m_current = PAGE_INIT;  // read and written under the GDK lock
    GtkWidget* m_pAccount = nullptr;
    GtkWidget* m_pPassword = nullptr;
    GtkWidget* m_pStatus = nullptr;
    GtkWidget* m_pInitLabel = nullptr;
    GtkWidget* m_pDialog = nullptr;  // the open error dialog, under the GDK lock
    bool m_bClosed = false;          // under the GDK lock
};
