// PeltwickImporter: a tray icon and its menu, no window. Builds the desktop services, hands them
// to the one AppDelegate and runs Qt's event loop until "Quit".
#include "core/AppDelegate.h"
#include "core/Keychain.h"
#include "platform/AddressBook.h"
#include "platform/SecretServiceStore.h"
#include "platform/XdgAutostart.h"

#include "qt/QtDateFormatter.h"
#include "qt/QtDialogs.h"
#include "qt/QtDispatcher.h"
#include "qt/QtSettingsStore.h"
#include "qt/QtTimerScheduler.h"
#include "qt/TrayStatusItem.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Peltwick"));
    QApplication::setApplicationName(QStringLiteral("PeltwickImporter"));
    // Window titles equal to the display name get no " — name" suffix; it is also the tray's title.
    QApplication::setApplicationDisplayName(QString::fromUtf8(AppDelegate::displayName));
    QApplication::setWindowIcon(TrayStatusItem::appIcon());
    // Closing an alert or dialog, our only windows, must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString title = QString::fromUtf8(AppDelegate::displayName);
    QtSettingsStore settings;
    QtDialogs dialogs(title);
    TrayStatusItem statusItem(dialogs, title);
    XdgAutostart loginItem(SecretServiceStore::serviceIdentifier, AppDelegate::displayName);
    QtTimerScheduler timers;
    QtDispatcher dispatcher;
    QtDateFormatter dates;
    SecretServiceStore keyring;
    Keychain keychain(keyring);

    AppServices services{settings,  statusItem, dialogs,
                         loginItem, timers,     dispatcher,
                         dates,     keychain,   [] { return AddressBook::makeDefault(); }};
    services.quit = [] { QCoreApplication::quit(); };
    AppDelegate delegate(std::move(services));

    // The launch sequence runs once the event loop is up, as a posted call.
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    const int code = QApplication::exec();
    // A pass or a connect check may still wait on the network: end without waiting for it.
    // Every setting was written to disk when it changed.
    if (dispatcher.busy()) std::_Exit(code);
    return code;
}
