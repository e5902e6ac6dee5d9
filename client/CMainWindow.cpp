#include "CMainWindow.h"

#include "CClientManager.h"
#include "CErrorCodeTable.h"

#include <cstdio>

namespace {

const char* const kPageNames[] = {"init", "login", "online"};

// One line on standard output, flushed at once so a watcher sees it while the window runs.
void Trace(const char* what, const char* text) {
    std::printf("%s: %s\n", what, text);
    std::fflush(stdout);
}

GtkWidget* NewPage() {
    GtkWidget* page = gtk_fixed_new();
    gtk_widget_set_size_request(page, CMainWindow::kWidth, CMainWindow::kHeight);
    // The window adds and removes pages; this reference keeps each page alive in between.
    g_object_ref_sink(page);
    return page;
}

GtkWidget* PutLabel(GtkWidget* page, const char* text, int x, int y) {
    GtkWidget* label = gtk_label_new(text);
    gtk_fixed_put(GTK_FIXED(page), label, x, y);
    return label;
}

GtkWidget* PutButton(GtkWidget* page, const char* text, int x, int y) {
    GtkWidget* button = gtk_button_new_with_label(text);
    gtk_widget_set_size_request(button, 100, 30);
    gtk_fixed_put(GTK_FIXED(page), button, x, y);
    return button;
}

}  // namespace

CMainWindow::~CMainWindow() {
    CloseDialogs();
    if (m_pWindow != nullptr) {
        // The main loop has ended already; the window's end must not quit it again.
        g_signal_handlers_disconnect_by_data(m_pWindow, this);
        gtk_widget_destroy(m_pWindow);
    }
    for (GtkWidget*& page : m_pPages) {
        if (page != nullptr) {
            gtk_widget_destroy(page);
            g_object_unref(page);
        }
        page = nullptr;
    }
}

void CMainWindow::Build() {
    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_resizable(GTK_WINDOW(m_pWindow), FALSE);
    gtk_window_set_title(GTK_WINDOW(m_pWindow), kTitle);
    gtk_widget_set_size_request(m_pWindow, kWidth, kHeight);
    gtk_window_set_position(GTK_WINDOW(m_pWindow), GTK_WIN_POS_CENTER_ALWAYS);
    m_pPages[PAGE_INIT] = BuildInitPage();
    m_pPages[PAGE_LOGIN] = BuildLoginPage();
    m_pPages[PAGE_ONLINE] = BuildOnlinePage();
    g_signal_connect(m_pWindow, "destroy", G_CALLBACK(WindowDestroyed), this);
    gtk_container_add(GTK_CONTAINER(m_pWindow), m_pPages[PAGE_INIT]);
    m_current = PAGE_INIT;
    gtk_widget_show_all(m_pWindow);
    Trace("page", kPageNames[PAGE_INIT]);
}

GtkWidget* CMainWindow::BuildInitPage() {
    GtkWidget* page = NewPage();
    m_pInitLabel = PutLabel(page, kInitText, 70, 100);
    // A recovery's texts are longer than the page's own; they wrap inside the page instead of
    // running off its edge.
    gtk_label_set_line_wrap(GTK_LABEL(m_pInitLabel), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(m_pInitLabel), PANGO_WRAP_WORD_CHAR);
    gtk_widget_set_size_request(m_pInitLabel, kWidth - 70 - 20, -1);
    return page;
}

GtkWidget* CMainWindow::BuildLoginPage() {
    GtkWidget* page = NewPage();
    PutLabel(page, "请使用校园宽带账号登录", 70, 30);
    PutLabel(page, "账号 :", 50, 90);
    m_pAccount = gtk_entry_new();
    gtk_fixed_put(GTK_FIXED(page), m_pAccount, 100, 90);
    PutLabel(page, "密码 :", 50, 140);
    m_pPassword = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(m_pPassword), FALSE);
    gtk_entry_set_invisible_char(GTK_ENTRY(m_pPassword), '#');
    gtk_fixed_put(GTK_FIXED(page), m_pPassword, 100, 140);
    GtkWidget* login = PutButton(page, "      登录      ", 100, 200);
    g_signal_connect(login, "clicked", G_CALLBACK(LoginClicked), this);
    return page;
}

GtkWidget* CMainWindow::BuildOnlinePage() {
    GtkWidget* page = NewPage();
    m_pStatus = PutLabel(page, kCampusText, 100, 50);
    GtkWidget* logout = PutButton(page, "      下线      ", 110, 150);
    g_signal_connect(logout, "clicked", G_CALLBACK(LogoutClicked), this);
    return page;
}

void CMainWindow::SwitchPage(Page page) {
    if (page != m_current) {
        gtk_container_remove(GTK_CONTAINER(m_pWindow), m_pPages[m_current]);
        gtk_container_add(GTK_CONTAINER(m_pWindow), m_pPages[page]);
        m_current = page;
        gtk_widget_show_all(m_pWindow);
        // Laid out and painted now rather than on the main loop's next turn, so the page is on
        // the screen once the change is reported.
        gtk_container_check_resize(GTK_CONTAINER(m_pWindow));
        gdk_window_process_all_updates();
        gdk_flush();
    }
    Trace("page", kPageNames[page]);
}

void CMainWindow::ShowInitPage() {
    ShowInitText(kInitText);
}

void CMainWindow::ShowRecoveryPage(const char* text) {
    // The service is at work on the loss a dialog may still report (a keep-alive lost just
    // before): the page says what is going on now, so that dialog goes.
    gdk_threads_enter();
    if (!m_bClosed)
        CloseDialogs();
    gdk_threads_leave();
    ShowInitText(text != nullptr ? text : kInitText);
}

void CMainWindow::ShowInitText(const char* text) {
    gdk_threads_enter();
    if (!m_bClosed) {
        gtk_label_set_text(GTK_LABEL(m_pInitLabel), text);
        SwitchPage(PAGE_INIT);
        Trace("init text", text);
    }
    gdk_threads_leave();
}

void CMainWindow::ShowLoginPage() {
    gdk_threads_enter();
    if (!m_bClosed)
        SwitchPage(PAGE_LOGIN);
    gdk_threads_leave();
}

void CMainWindow::ShowOnlinePage(int netType) {
    gdk_threads_enter();
    if (!m_bClosed) {
        // The status is set first, so the page never appears with the text of an earlier login.
        gtk_label_set_text(GTK_LABEL(m_pStatus), netType != 0 ? kCampusText : kInternetText);
        SwitchPage(PAGE_ONLINE);
        Trace("status", gtk_label_get_text(GTK_LABEL(m_pStatus)));
    }
    gdk_threads_leave();
}

void CMainWindow::ShowError(long errorCode, const char* subErrorCode, const char* externText) {
    const CAutoString text = ErrorText(errorCode, subErrorCode, externText);
    gdk_threads_enter();
    if (!m_bClosed)
        PresentError(nullptr, text.c_str());
    gdk_threads_leave();
}

CAutoString CMainWindow::ErrorText(long errorCode, const char* subErrorCode,
                                   const char* externText) {
    return CErrorCodeTable::GetInst()->GetShownText(errorCode, subErrorCode, externText);
}

void CMainWindow::PresentError(GtkWindow* parent, const char* text) {
    if (m_pDialog != nullptr) {
        // A property, not a format: the text may hold "%" from the service.
        g_object_set(m_pDialog, "text", text, nullptr);
        gtk_window_present(GTK_WINDOW(m_pDialog));
        gdk_flush();
        Trace("error text", text);
        return;
    }
    m_pDialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                       "%s", text);
    gtk_window_set_title(GTK_WINDOW(m_pDialog), kErrorTitle);
    gtk_dialog_set_default_response(GTK_DIALOG(m_pDialog), GTK_RESPONSE_OK);
    g_signal_connect(m_pDialog, "response", G_CALLBACK(DialogAnswered), this);
    gtk_widget_show_all(m_pDialog);
    gdk_flush();
    Trace("error dialog", text);
}

void CMainWindow::RunAlone(const char* text) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                               GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(dialog), kErrorTitle);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    Trace("error dialog", text);
    // Nothing else runs yet, so this thread may wait for the answer.
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

void CMainWindow::DialogAnswered(GtkDialog* dialog, gint response, gpointer self) {
    (void)response;
    CMainWindow* window = static_cast<CMainWindow*>(self);
    if (window->m_pDialog == GTK_WIDGET(dialog))
        window->m_pDialog = nullptr;
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void CMainWindow::Close() {
    if (m_bClosed)
        return;
    m_bClosed = true;
    CloseDialogs();
    Trace("window", "closed");
}

void CMainWindow::CloseDialogs() {
    if (m_pDialog == nullptr)
        return;
    GtkWidget* dialog = m_pDialog;
    m_pDialog = nullptr;
    gtk_widget_destroy(dialog);
}

void CMainWindow::OnLogin() {
    const CAutoString account(gtk_entry_get_text(GTK_ENTRY(m_pAccount)));
    const CAutoString password(gtk_entry_get_text(GTK_ENTRY(m_pPassword)));
    const char* missing = nullptr;
    if (account.IsEmpty())
        missing = "账号不能为空！";
    else if (password.IsEmpty())
        missing = "密码不能为空！";
    if (missing != nullptr) {
        PresentError(GTK_WINDOW(m_pWindow), missing);
        return;
    }
    // The page stays as it is until the service reports the outcome.
    m_pBusiness->Login(account.c_str(), password.c_str());
}

void CMainWindow::LoginClicked(GtkWidget* button, gpointer self) {
    (void)button;
    static_cast<CMainWindow*>(self)->OnLogin();
}

void CMainWindow::LogoutClicked(GtkWidget* button, gpointer self) {
    (void)button;
    static_cast<CMainWindow*>(self)->m_pBusiness->Logout();
}

void CMainWindow::WindowDestroyed(GtkWidget* window, gpointer self) {
    (void)window;
    // Runs under the GDK lock; the pages and their labels go with the window, so from here on
    // the message thread must change nothing.
    CMainWindow* main = static_cast<CMainWindow*>(self);
    main->m_pWindow = nullptr;
    main->Close();
    gtk_main_quit();
}
