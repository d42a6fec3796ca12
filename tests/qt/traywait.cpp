// traywait: exits 0 once a tray owns the XEmbed selection of $DISPLAY's screen, 1 after 10 s without one.
#include <X11/Xlib.h>

#include <string>
#include <unistd.h>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const Atom tray = XInternAtom(display, ("_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display))).c_str(), 0);
    int tries = 200;
    while (XGetSelectionOwner(display, tray) == None && --tries > 0)
        ::usleep(50000);
    XCloseDisplay(display);
    return tries > 0 ? 0 : 1;
}
