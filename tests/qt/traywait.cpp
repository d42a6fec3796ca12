// traywait: exits 0 once a tray owns the XEmbed selection of $DISPLAY's screen, 1 after 10 s without one.
#include <X11/Xlib.h>

#include <string>
#include <unistd.h>

int main() {
    Display* display = XOpenDisplay(nullptr);
    const std::string name = display ? "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display)) : "";
    for (int tries = 200; display && tries > 0; --tries, ::usleep(50000))
        if (XGetSelectionOwner(display, XInternAtom(display, name.c_str(), False)) != None) return 0;
    return 1;
}
