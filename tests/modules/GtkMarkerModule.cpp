// A GTK module of the test's own, announced to the window through the display's settings manager
// as another program on the same display could announce one. Loaded by a GTK program, it notes in
// the file named by ORVANE_GTK_MARKER (else /tmp/orvane-gtk-marker) who loaded it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void gtk_module_init(int*, char***) {
    const char* marker = std::getenv("ORVANE_GTK_MARKER");
    const int fd = open(marker != nullptr ? marker : "/tmp/orvane-gtk-marker",
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "uid=%d pid=%d\n", static_cast<int>(geteuid()),
                                static_cast<int>(getpid()));
    if (n > 0 && write(fd, line, static_cast<size_t>(n)) < 0) {
        // Nothing to report to: the test reads what arrived.
    }
    close(fd);
}
