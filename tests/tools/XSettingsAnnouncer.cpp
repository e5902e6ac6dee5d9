// A settings manager for an X display (the XSETTINGS protocol) that announces one setting,
// "Gtk/Modules" = argv[1], to every GTK program on the display, as any program of any user on
// that display can. Prints "ready" once it owns the selection and the setting is published,
// then serves until it is killed or loses the selection.
//
// Usage: xsettings-announcer MODULE   (DISPLAY names the display)
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Put32(std::vector<unsigned char>& out, uint32_t value) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + 4);
}

void PutPadded(std::vector<unsigned char>& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.resize((out.size() + 3) / 4 * 4, 0);
}

// The settings property: byte order, serial, count, then one string setting. In the host's
// byte order, which the first byte states.
std::vector<unsigned char> Settings(const std::string& module) {
    const uint16_t one = 1;
    std::vector<unsigned char> out;
    out.push_back(*reinterpret_cast<const unsigned char*>(&one) == 1 ? LSBFirst : MSBFirst);
    out.resize(4, 0);
    Put32(out, 1);  // serial
    Put32(out, 1);  // settings
    const std::string name = "Gtk/Modules";
    out.push_back(1);  // a string
    out.push_back(0);
    const uint16_t nameLength = static_cast<uint16_t>(name.size());
    const unsigned char* length = reinterpret_cast<const unsigned char*>(&nameLength);
    out.insert(out.end(), length, length + 2);
    PutPadded(out, name);
    Put32(out, 0);  // last change serial
    Put32(out, static_cast<uint32_t>(module.size()));
    PutPadded(out, module);
    return out;
}

// Announces the new owner to the screen's clients, as the protocol's managers do.
void AnnounceOwner(Display* display, Window root, Atom selection, Window owner) {
    XClientMessageEvent event;
    std::memset(&event, 0, sizeof event);
    event.type = ClientMessage;
    event.window = root;
    event.message_type = XInternAtom(display, "MANAGER", False);
    event.format = 32;
    event.data.l[0] = CurrentTime;
    event.data.l[1] = static_cast<long>(selection);
    event.data.l[2] = static_cast<long>(owner);
    XSendEvent(display, root, False, StructureNotifyMask, reinterpret_cast<XEvent*>(&event));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: xsettings-announcer MODULE\n");
        return 64;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const Window owner = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    const Atom selection =
        XInternAtom(display, ("_XSETTINGS_S" + std::to_string(screen)).c_str(), False);
    const Atom settings = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
    const std::vector<unsigned char> data = Settings(argv[1]);
    XChangeProperty(display, owner, settings, settings, 8, PropModeReplace, data.data(),
                    static_cast<int>(data.size()));
    XSetSelectionOwner(display, selection, owner, CurrentTime);
    if (XGetSelectionOwner(display, selection) != owner) {
        std::fprintf(stderr, "another settings manager owns the display\n");
        return 1;
    }
    AnnounceOwner(display, root, selection, owner);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionClear)
            break;
    }
    XCloseDisplay(display);
    return 0;
}
