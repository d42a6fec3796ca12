// PeltwickImporter: a tray icon and its menu, no window; or, with --sync, one pass from the
// command line. Reads the command line before any window system is touched, builds the desktop
// services, hands them to the one AppDelegate and runs Qt's event loop until "Quit".
#include "core/AppDelegate.h"
#include "core/CommandLineSync.h"
#include "core/Keychain.h"
#include "platform/AddressBook.h"
#include "platform/InstanceLock.h"
#include "platform/SecretServiceStore.h"
#include "platform/SyncReportFile.h"
#include "platform/XdgAutostart.h"
#include "qt/QtDateFormatter.h"
#include "qt/QtDialogs.h"
#include "qt/QtDispatcher.h"
#include "qt/QtSettingsStore.h"
#include "qt/QtTimerScheduler.h"
#include "qt/TrayStatusItem.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSessionManager>
#include <QTimer>

#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <variant>

namespace {

constexpr int usageError = 64;

enum class Mode { tray, sync, syncVerbose };

// The mode the command line asks for, or the exit status when it was answered (help, version)
// or wrong. Needs only a QCoreApplication: no display is opened.
std::variant<Mode, int> readCommandLine(int argc, char** argv) {
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies the people of your address book into your Peltwick vault. Without options it runs "
                       "as an icon in the system tray.\n\nThe report of the last sync: %1")
            .arg(QString::fromStdString(SyncReportFile::defaultPath())));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption sync(
        QStringLiteral("sync"),
        QStringLiteral("Sync once with the stored server and credential, without the tray, print the last-sync "
                       "line or the error, and exit: 0 synced, 1 the sync failed, 2 not connected, 3 the "
                       "program is already running."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("With --sync: also print the report of what the sync did."));
    parser.addOption(sync);
    parser.addOption(verbose);
    const QString usage = QStringLiteral("Usage: %1 [--sync [--verbose]] | --help | --version\n")
                              .arg(QCoreApplication::applicationName());
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n%s", qPrintable(parser.errorText()), qPrintable(usage));
        return usageError;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return EXIT_SUCCESS;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return EXIT_SUCCESS;
    }
    if (!parser.positionalArguments().isEmpty() || (parser.isSet(verbose) && !parser.isSet(sync))) {
        std::fprintf(stderr, "%s: unexpected argument\n%s",
                     qPrintable(parser.isSet(verbose) && parser.positionalArguments().isEmpty()
                                    ? QStringLiteral("--verbose")
                                    : parser.positionalArguments().constFirst()),
                     qPrintable(usage));
        return usageError;
    }
    if (parser.isSet(sync)) return parser.isSet(verbose) ? Mode::syncVerbose : Mode::sync;
    return Mode::tray;
}

std::unique_ptr<ContactStore> makeAddressBook() {
    return AddressBook::makeDefault();
}

int runSync(int argc, char** argv, bool verbose) {
    QCoreApplication core(argc, argv);
    InstanceLock lock;
    if (!lock.acquire()) {
        std::cout << "Peltwick Importer is already running; use Sync Contacts Now in its menu.\n";
        return CommandLineSync::alreadyRunning;
    }
    QtSettingsStore settings;
    QtDateFormatter dates;
    SecretServiceStore keyring;
    Keychain keychain(keyring);
    SyncReportFile reports;
    CommandLineSync::Services services{settings, dates, keychain, reports, makeAddressBook};
    return CommandLineSync::run(services, std::cout, verbose);
}

// What the desktop is told about the program, and how it lives with the session.
void describeApplication(QApplication& app) {
    // The menu entry and the autostart entry share this id; desktops match windows to it.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(AppDelegate::applicationId));
    // Window titles equal to the display name get no " — name" suffix; it is also the tray's title.
    QApplication::setApplicationDisplayName(QString::fromUtf8(AppDelegate::displayName));
    QApplication::setWindowIcon(TrayStatusItem::appIcon());
    // Closing an alert or dialog, our only windows, must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    // The autostart entry starts the program at login; a session manager restarting it as well
    // would start a second copy.
    QObject::connect(&app, &QGuiApplication::saveStateRequest, &app,
                     [](QSessionManager& manager) { manager.setRestartHint(QSessionManager::RestartNever); });
}

int runTray(int argc, char** argv) {
    InstanceLock lock;
    if (!lock.acquire()) {
        std::fputs("Peltwick Importer is already running.\n", stderr);
        return EXIT_SUCCESS;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fputs("Peltwick Importer is a tray program and needs a desktop session (neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set); --sync syncs without one.\n",
                   stderr);
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    describeApplication(app);

    const QString title = QString::fromUtf8(AppDelegate::displayName);
    QtSettingsStore settings;
    QtDialogs dialogs(title);
    TrayStatusItem statusItem(dialogs, title);
    XdgAutostart loginItem(AppDelegate::applicationId, AppDelegate::displayName);
    QtTimerScheduler timers;
    QObject::connect(&statusItem, &TrayStatusItem::hostMenuOpenChanged, &QtTimerScheduler::setHostMenuOpen);
    QtDispatcher dispatcher;
    QtDateFormatter dates;
    SecretServiceStore keyring;
    Keychain keychain(keyring);
    SyncReportFile reports;

    AppServices services{settings,   statusItem, dialogs,  loginItem, timers,
                         dispatcher, dates,      keychain, reports,   makeAddressBook};
    services.quit = [] { QCoreApplication::quit(); };
    // Tests of the running program shorten the hourly interval (whole seconds, at least one).
    if (const char* seconds = std::getenv("PELTWICK_AUTO_SYNC_SECONDS"); seconds && std::atoi(seconds) > 0)
        services.autoSyncInterval = std::chrono::seconds(std::atoi(seconds));
    AppDelegate delegate(std::move(services));

    // The launch sequence runs once the event loop is up, as a posted call.
    QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
    const int code = QApplication::exec();
    // A pass, a connect check or a keyring call may still be waiting: end without waiting for it.
    // Every setting was written to disk when it changed.
    if (dispatcher.busy()) std::_Exit(code);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    // The process holds an app password: no core dump may carry it to disk, and no other process
    // of the user may read its memory (this also keeps debuggers from attaching without root).
    ::prctl(PR_SET_DUMPABLE, 0);
    QCoreApplication::setOrganizationName(QStringLiteral("Peltwick"));
    QCoreApplication::setApplicationName(QStringLiteral("PeltwickImporter"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELTWICK_VERSION));

    const auto mode = readCommandLine(argc, argv);
    if (const int* status = std::get_if<int>(&mode)) return *status;
    switch (std::get<Mode>(mode)) {
    case Mode::sync:
        return runSync(argc, argv, false);
    case Mode::syncVerbose:
        return runSync(argc, argv, true);
    case Mode::tray:
        break;
    }
    return runTray(argc, argv);
}
