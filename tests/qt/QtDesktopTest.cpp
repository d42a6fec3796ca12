// The desktop layer on Qt's offscreen platform (no tray), in the C locale, with a config folder of its own.
#include "platform/XdgAutostart.h"
#include "qt/QtDateFormatter.h"
#include "qt/QtDialogs.h"
#include "qt/QtDispatcher.h"
#include "qt/QtSettingsStore.h"
#include "qt/QtTimerScheduler.h"
#include "qt/TrayStatusItem.h"

#include <QTest>
#include <QtWidgets>

#include <gtest/gtest.h>

#include <thread>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers" // menu items name what they set, the rest is default
using namespace std::chrono_literals;
const QString title = QStringLiteral("Peltwick Importer");

// Runs `drive` on the modal dialog once the exec() called next has it on screen.
template <typename Dialog> void whenOpen(std::function<void(Dialog&)> drive) {
    QTimer::singleShot(0, [drive] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        drive(*dialog);
    });
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct RecordingDialogs : Dialogs {
    std::vector<std::string> alerts;
    void alert(const std::string&, const std::string& text) override { alerts.push_back(text); }
    std::optional<std::string> prompt(const Prompt&) override { return std::nullopt; }
};

// The visible actions as "text[-][x][ ][shortcut]|...", separators as "---".
QString shown(QMenu& menu) {
    QString all;
    for (QAction* action : menu.actions())
        if (action->isVisible())
            all += (action->isSeparator() ? "---" : action->text()) + (action->isEnabled() ? "" : "[-]") +
                   (action->isCheckable() ? action->isChecked() ? "[x]" : "[ ]" : "") +
                   (action->shortcut().isEmpty() ? "" : "[" + action->shortcut().toString() + "]") + "|";
    return all;
}

// Without a tray the item waits for one, and says so once.
TEST(TrayStatusItem, OneMenuWhoseActionsFollowEachDescriptionByIdAndOneAlertThatNoTrayCame) {
    RecordingDialogs dialogs;
    TrayStatusItem tray(dialogs, title, 100ms, 20ms);
    std::vector<MenuAction> chosen;
    tray.show([&](MenuAction action) { chosen.push_back(action); });
    const MenuItem sync{.id = "sync", .title = "Sync Now", .action = MenuAction::syncNow, .keyEquivalent = "s"},
        syncing{.id = "sync", .title = "Syncing…", .keyEquivalent = "s", .enabled = false},
        as{.id = "as", .title = "Connected as ada&co@example.org", .enabled = false},
        hourly{.id = "hourly", .title = "Sync Hourly", .action = MenuAction::toggleAutoSync, .checked = true},
        login{.id = "login", .title = "Start at Login", .action = MenuAction::toggleLoginItem},
        line = MenuItem::makeSeparator("line"),
        connect{.id = "connect", .title = "Connect…", .action = MenuAction::connect},
        quit{.id = "quit", .title = "Quit", .action = MenuAction::quit, .keyEquivalent = "q"};
    const Menu disconnected{sync, hourly, login, line, connect, quit},
        connected{syncing, as, hourly, login, line, quit};
    QMenu& menu = *tray.menu();
    tray.setMenu(disconnected);
    tray.setMenu(connected); // a new item takes its place among the others
    EXPECT_EQ(shown(menu), QString::fromUtf8("Syncing…[-][Ctrl+S]|Connected as ada&&co@example.org[-]|Sync Hourly[x]|"
                                             "Start at Login[ ]|---|Quit[Ctrl+Q]|"));
    const QList<QAction*> actions = menu.actions();
    actions.first()->setObjectName("first");
    tray.setMenu({quit, syncing}); // an order turned round
    EXPECT_EQ(shown(menu), QString::fromUtf8("Quit[Ctrl+Q]|Syncing…[-][Ctrl+S]|"));
    tray.setMenu(disconnected);
    EXPECT_EQ(shown(menu),
              QString::fromUtf8("Sync Now[Ctrl+S]|Sync Hourly[x]|Start at Login[ ]|---|Connect…|Quit[Ctrl+Q]|"));
    tray.setMenu(connected);
    EXPECT_EQ(menu.actions(), actions); // the same actions, in the same order, the first still the first
    EXPECT_EQ(menu.actions().first()->objectName(), "first");
    EXPECT_EQ(tray.trayIcon().contextMenu(), &menu);

    // In the open menu a disabled item's shortcut does nothing.
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }));
    QTest::keyClick(&menu, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(&menu, Qt::Key_Q, Qt::ControlModifier);
    QTest::qWait(250);
    EXPECT_EQ(chosen, std::vector<MenuAction>{MenuAction::quit});
    EXPECT_EQ(dialogs.alerts.size(), 1u);
    EXPECT_TRUE(tray.isWaitingForTray()); // in case a tray comes later
}

// A tick due while a modal dialog, a menu Qt draws or one the tray host draws is open comes once, as
// it closes; a host's menu counts only once the host has said a menu closed (xfce4-panel never does).
TEST(QtTimerScheduler, TicksWaitForAnOpenDialogOrMenu) {
    QtDialogs dialogs(title);
    TrayStatusItem tray(dialogs, title);
    tray.setMenu({{.id = "quit", .title = "Quit"}});
    QObject::connect(&tray, &TrayStatusItem::hostMenuOpenChanged, &QtTimerScheduler::setHostMenuOpen);
    QDialog dialog;
    dialog.setWindowModality(Qt::ApplicationModal);
    QMenu& menu = *tray.menu();
    const std::function<void(bool)> opened[] = {
        [&](bool open) { open ? menu.aboutToShow() : void(); }, // by a host that has not said it closed a menu
        [&](bool open) { dialog.setVisible(open); },
        [&](bool open) { open ? menu.popup(QPoint(10, 10)) : menu.hide(); },
        [&](bool open) { open ? menu.aboutToShow() : menu.aboutToHide(); }};
    for (int i = 0; i < 4; ++i) {
        QtTimerScheduler scheduler;
        int ticks = 0;
        auto timer = scheduler.scheduleRepeating(400ms, [&] { ++ticks; });
        opened[i](true);
        QTest::qWait(850); // ticks due at 400 and 800 ms
        EXPECT_EQ(ticks, i == 0 ? 2 : 0) << i;
        opened[i](false);
        EXPECT_TRUE(QTest::qWaitFor([&] { return ticks == (i == 0 ? 2 : 1); }, 300)) << i;
        QTest::qWait(30);
        EXPECT_EQ(ticks, i == 0 ? 2 : 1) << i;
        emit menu.aboutToHide(); // from here on the host has said its menu closed
    }
}

TEST(QtDialogs, PromptFieldOkThenCancelAndAlertAsAWarningInPlainTextWithOneDefaultButton) {
    QtDialogs dialogs(title);
    whenOpen<PromptDialog>([](PromptDialog& dialog) {
        EXPECT_EQ(dialog.field()->size(), QSize(260, 24));
        EXPECT_EQ(dialog.field()->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(dialog.okButton()->isDefault() && dialog.okButton()->x() < dialog.cancelButton()->x());
        QTest::keyClicks(dialog.field(), " S3cret pw ");
        QTest::keyClick(dialog.field(), Qt::Key_Return);
    });
    EXPECT_EQ(dialogs.prompt({"App password", "Paste it here.", "app password", "", true}), " S3cret pw ");
    whenOpen<PromptDialog>([](PromptDialog& dialog) {
        EXPECT_EQ(dialog.field()->text(), "https://old.example");
        QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(dialogs.prompt({"Server", "The address.", "", "https://old.example", false}), std::nullopt);
    bool shown = false;
    whenOpen<QMessageBox>([&](QMessageBox& box) {
        shown = true;
        EXPECT_EQ(box.icon(), QMessageBox::Warning);
        EXPECT_EQ(box.informativeText(), "Cannot read <b>x</b>.vcf");
        for (QLabel* label : box.findChildren<QLabel*>())
            EXPECT_TRUE(label->text().isEmpty() || label->textFormat() == Qt::PlainText) << label->text().toStdString();
        EXPECT_TRUE(box.buttons().size() == 1 && box.defaultButton() == box.buttons().first());
        QTest::keyClick(&box, Qt::Key_Return);
    });
    dialogs.alert("Peltwick Importer", "Cannot read <b>x</b>.vcf");
    EXPECT_TRUE(shown);
}

// Booleans as a user may write them by hand; the writes themselves the journey reads back from the file.
TEST(QtSettingsStore, HandEditedValuesReadAsTheySay) {
    const QString path = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Peltwick/PeltwickImporter.conf";
    QDir().mkpath(path.section('/', 0, -2));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("[General]\nno=no\nyes=yes\none=1\nfalse=false\n") &&
                file.flush());
    QtSettingsStore settings;
    EXPECT_TRUE(settings.boolForKey("yes") && settings.boolForKey("one"));
    EXPECT_FALSE(settings.boolForKey("no") || settings.boolForKey("false") || settings.boolForKey("absent"));
    EXPECT_EQ(settings.stringForKey("absent"), std::nullopt);
}

// busy() turns false only once the work's captures are gone and the continuation queued: main may end then.
TEST(QtDispatcher, WorkOffTheMainThreadContinuationOnItBusyUntilAllIsLetGo) {
    QtDispatcher dispatcher;
    std::thread::id worker, continuation;
    std::atomic<bool> released = false;
    const auto release = [&](void*) { std::this_thread::sleep_for(100ms), released = true; };
    dispatcher.runInBackground(
        [&, held = std::shared_ptr<void>(nullptr, release)] {
            worker = std::this_thread::get_id();
            throw std::runtime_error("lost connection"); // the continuation comes all the same
        },
        [&] { continuation = std::this_thread::get_id(); });
    for (int i = 0; i < 2000 && dispatcher.busy(); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(released && !dispatcher.busy());
    QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
    EXPECT_TRUE(continuation == std::this_thread::get_id() && worker != continuation);
}

TEST(QtDateFormatter, CLocaleShortTimeInHoursAndMinutes) {
    const auto when = QDateTime(QDate(2026, 12, 6), QTime(15, 26, 18)).toMSecsSinceEpoch();
    EXPECT_EQ(QtDateFormatter().shortDateTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(when))),
              "6 Dec 2026 15:26");
}

TEST(XdgAutostart, AnEntryForTheRunningProgramItsKeysThatDisableItAndAFolderInItsPlace) {
    XdgAutostart autostart("app.peltwick.importer", "Peltwick Importer");
    const QString entry = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/app.peltwick.importer.desktop";
    const auto enabled = [&] { return autostart.status() == LoginItemService::Status::enabled; };
    EXPECT_FALSE(enabled());
    ASSERT_EQ(autostart.registerItem(), std::nullopt);
    EXPECT_EQ(contents(entry), "[Desktop Entry]\nType=Application\nName=Peltwick Importer\nComment=Copies your address "
                               "book into your Peltwick vault\nExec=\"" +
                                   QCoreApplication::applicationFilePath() +
                                   "\"\nIcon=app.peltwick.importer\nTerminal=false\nX-GNOME-Autostart-enabled=true\n"
                                   "X-GNOME-Autostart-Delay=5\nX-KDE-autostart-after=panel\nX-LXQt-Need-Tray=true\n");
    EXPECT_TRUE(enabled());
    EXPECT_EQ(QDir(entry.section('/', 0, -2)).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temporary left
    // Inside quotes \" \` \$ \\ and a literal % doubled; then the string escapes double each backslash.
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/My Apps/a\"b`c$d\\e%f\ng"), R"("/My Apps/a\\"b\\`c\\$d\\\\e%%f\ng")");
    for (const auto& [text, on] : std::initializer_list<std::pair<QByteArray, bool>>{
             {"[Desktop Entry]\nHidden = true\n", false},
             {"[Desktop Entry]\nHidden=false\n", true},
             {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
             {"[Desktop Action other]\nHidden=true\n[Desktop Entry]\nExec=x\n", true},
             {"# Hidden=true\n[Desktop Entry]\nExec=x\n", true}}) {
        QFile file(entry);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) && file.flush());
        EXPECT_EQ(enabled(), on) << text.toStdString();
    }
    ASSERT_EQ(autostart.registerItem(), std::nullopt); // over one the user disabled
    EXPECT_TRUE(enabled());
    ASSERT_EQ(autostart.unregisterItem(), std::nullopt);
    EXPECT_EQ(autostart.unregisterItem(), std::nullopt); // already gone
    EXPECT_FALSE(enabled());
    // A folder in its place: off, and turning on or off says what stands in the way and leaves it.
    ASSERT_TRUE(QDir().mkpath(entry + "/inner"));
    EXPECT_FALSE(enabled());
    EXPECT_EQ(autostart.registerItem(),
              "Cannot write " + entry.toStdString() + ": it is a folder; remove or rename it.");
    EXPECT_EQ(autostart.unregisterItem(), "Cannot remove " + entry.toStdString() + ": Is a directory");
    EXPECT_TRUE(QDir(entry + "/inner").exists());
    EXPECT_EQ(QDir(entry.section('/', 0, -2)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
              1);
    QDir(entry).removeRecursively();
}

int main(int argc, char** argv) {
    QTemporaryDir home; // read by Qt once, before any QSettings is made
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("LC_ALL", "C.UTF-8");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
