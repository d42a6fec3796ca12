// traywait [SECONDS]: waits until a system tray owns the XEmbed selection _NET_SYSTEM_TRAY_S<screen>
// on $DISPLAY. Exits 0 once one does, 1 after SECONDS (default 10) without one, 2 without a display.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 2;
    char name[64];
    std::snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", DefaultScreen(display));
    const Atom selection = XInternAtom(display, name, False);
    for (int tries = static_cast<int>((argc > 1 ? std::atof(argv[1]) : 10.0) * 20); tries > 0; --tries) {
        if (XGetSelectionOwner(display, selection) != None) return 0;
        ::usleep(50000);
    }
    std::fprintf(stderr, "traywait: no owner of %s\n", name);
    return 1;
}
