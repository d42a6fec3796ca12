// traywait [SECONDS]: waits until a system tray owns the XEmbed selection _NET_SYSTEM_TRAY_S<screen>
// on $DISPLAY. Prints the owner's window id and exits 0; exits 1 after SECONDS (default 10) without
// one, 2 without an X display.
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const double timeout = argc > 1 ? std::atof(argv[1]) : 10.0;
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "traywait: cannot open display\n");
        return 2;
    }
    char name[64];
    std::snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", DefaultScreen(display));
    const Atom selection = XInternAtom(display, name, False);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (const Window owner = XGetSelectionOwner(display, selection); owner != None) {
            std::printf("0x%lx\n", owner);
            XCloseDisplay(display);
            return 0;
        }
        const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
        if (waited.count() >= timeout) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "traywait: no owner of %s after %.1f s\n", name, timeout);
    XCloseDisplay(display);
    return 1;
}
