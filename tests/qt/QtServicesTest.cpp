#include "qt/QtDateFormatter.h"
#include "qt/QtDispatcher.h"
#include "qt/QtSettingsStore.h"
#include "qt/QtTestSupport.h"
#include "qt/QtTimerScheduler.h"

#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

QString settingsFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/Peltwick/PeltwickImporter.conf";
}

void writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(path.section('/', 0, -2));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

TEST(QtSettingsStore, ValuesSurviveARestartAndAbsentKeysReadAsAbsent) {
    QFile::remove(settingsFile());
    // A system-wide file must not leak into the user's settings.
    writeText(qEnvironmentVariable("XDG_CONFIG_DIRS") + "/Peltwick/PeltwickImporter.conf",
              "[General]\nautoSync=true\nlastSyncSummary=from the system\n");
    {
        QtSettingsStore settings;
        EXPECT_FALSE(settings.boolForKey("autoSync"));
        EXPECT_EQ(settings.stringForKey("lastSyncSummary"), std::nullopt);
        settings.setBool("autoSyncDefaulted", true);
        settings.setBool("autoSync", false);
        settings.setString("serverURL", "http://localhost:8080/vault/");
        settings.setString("lastSyncSummary", "Last sync 12/6/26 9:41 AM: 3 added, 120 already in your vault");
        // On disk at once, before this store goes away.
        QFile file(settingsFile());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        EXPECT_TRUE(text.contains("autoSyncDefaulted=true")) << text.toStdString();
        EXPECT_TRUE(text.contains("serverURL=")) << text.toStdString();
    }
    QtSettingsStore restarted;
    EXPECT_TRUE(restarted.boolForKey("autoSyncDefaulted"));
    EXPECT_FALSE(restarted.boolForKey("autoSync"));
    EXPECT_FALSE(restarted.boolForKey("loginItemDefaulted"));
    EXPECT_EQ(restarted.stringForKey("serverURL"), std::optional<std::string>("http://localhost:8080/vault/"));
    EXPECT_EQ(restarted.stringForKey("lastSyncSummary"),
              std::optional<std::string>("Last sync 12/6/26 9:41 AM: 3 added, 120 already in your vault"));
}

TEST(QtSettingsStore, HandEditedBooleansReadAsTheySay) {
    writeText(settingsFile(), "[General]\nautoSync=no\nautoSyncDefaulted=yes\nloginItemDefaulted=1\nother=false\n");
    QtSettingsStore settings;
    EXPECT_FALSE(settings.boolForKey("autoSync"));
    EXPECT_TRUE(settings.boolForKey("autoSyncDefaulted"));
    EXPECT_TRUE(settings.boolForKey("loginItemDefaulted"));
    EXPECT_FALSE(settings.boolForKey("other"));
    QFile::remove(settingsFile());
}

TEST(QtTimerScheduler, TicksAfterOneIntervalAndStopWithTheTimer) {
    QtTimerScheduler scheduler;
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    clock.start();
    auto timer = scheduler.scheduleRepeating(100ms, [&] { ticks.push_back(clock.elapsed()); });
    ASSERT_TRUE(waitFor([&] { return ticks.size() == 2; }));
    EXPECT_GE(ticks[0], 95);
    EXPECT_GE(ticks[1] - ticks[0], 90);
    timer.reset();
    waitFor([] { return false; }, 250);
    EXPECT_EQ(ticks.size(), 2u);
}

// A tick that falls due while a modal dialog is open waits for it to close, comes once, and the
// regular rhythm goes on.
TEST(QtTimerScheduler, TickHeldDuringAModalDialogIsDeliveredOnceAfter) {
    constexpr int interval = 200;
    QtTimerScheduler scheduler;
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    qint64 closedAt = 0;
    bool seenDuringModal = false;
    clock.start();
    auto timer = scheduler.scheduleRepeating(std::chrono::milliseconds(interval), [&] {
        ticks.push_back(clock.elapsed());
        if (QApplication::activeModalWidget()) seenDuringModal = true;
    });
    // Between the first and the second tick a dialog opens and stays for four intervals, closing
    // half-way between two regular ticks.
    QTimer::singleShot(interval * 3 / 2, [&] {
        QDialog dialog;
        QTimer::singleShot(interval * 4, &dialog, [&] {
            closedAt = clock.elapsed();
            dialog.accept();
        });
        dialog.exec();
    });
    ASSERT_TRUE(waitFor([&] { return closedAt > 0 && ticks.size() >= 2; }, 3000));
    EXPECT_FALSE(seenDuringModal);
    ASSERT_EQ(ticks.size(), 2u); // four missed ticks became one
    EXPECT_GE(ticks[1], closedAt);
    EXPECT_LT(ticks[1] - closedAt, interval / 4);
    ASSERT_TRUE(waitFor([&] { return ticks.size() == 3; }));
    EXPECT_GE(ticks[2] - ticks[1], interval / 4); // the next one on the regular schedule
}

TEST(QtTimerScheduler, TickHeldWhileAMenuIsOpen) {
    QtTimerScheduler scheduler;
    int ticks = 0;
    QMenu menu;
    menu.addAction("Sync Hourly");
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return QApplication::activePopupWidget() == &menu; }));
    auto timer = scheduler.scheduleRepeating(300ms, [&] { ++ticks; });
    waitFor([] { return false; }, 400);
    EXPECT_EQ(ticks, 0);
    menu.hide(); // the next regular tick is 200 ms away
    EXPECT_TRUE(waitFor([&] { return ticks == 1; }, 100));
}

TEST(QtDispatcher, WorkOffTheMainThreadContinuationOnIt) {
    QtDispatcher dispatcher;
    const auto mainThread = std::this_thread::get_id();
    std::thread::id workThread, thenThread;
    bool done = false;
    dispatcher.runInBackground([&] { workThread = std::this_thread::get_id(); },
                               [&] {
                                   thenThread = std::this_thread::get_id();
                                   done = true;
                               });
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_NE(workThread, mainThread);
    EXPECT_EQ(thenThread, mainThread);
    // The job counts as running until its thread has finished, a moment after the continuation.
    EXPECT_TRUE(waitFor([&] { return !dispatcher.busy(); }));

    // Work that throws still brings its continuation back.
    bool after = false;
    dispatcher.runInBackground([] { throw std::runtime_error("lost connection"); }, [&] { after = true; });
    EXPECT_TRUE(waitFor([&] { return after; }));
}

// main returns normally, tearing down the application, once busy() reads false; by then the
// job's thread must have let go of what the work holds and queued its continuation.
TEST(QtDispatcher, IdleOnlyOnceTheJobHasLetGoOfEverything) {
    struct SlowToRelease {
        explicit SlowToRelease(std::atomic<bool>& flag) : released(flag) {}
        std::atomic<bool>& released;
        ~SlowToRelease() {
            std::this_thread::sleep_for(100ms);
            released.store(true);
        }
    };
    QtDispatcher dispatcher;
    std::atomic<bool> released{false};
    bool continued = false;
    dispatcher.runInBackground([held = std::make_shared<SlowToRelease>(released)] {}, [&] { continued = true; });
    for (int i = 0; i < 2000 && dispatcher.busy(); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(dispatcher.busy());
    EXPECT_TRUE(released.load());
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    EXPECT_TRUE(continued);
    waitFor([&] { return continued; });
}

// The short time has no seconds, in the C locale (the test's, as a fresh system's) as in the others.
TEST(QtDateFormatter, ShortTimeWithoutSeconds) {
    const QDateTime when(QDate(2026, 12, 6), QTime(15, 26, 18));
    const std::string text = QtDateFormatter().shortDateTime(
        std::chrono::system_clock::time_point(std::chrono::milliseconds(when.toMSecsSinceEpoch())));
    EXPECT_EQ(text.find(":18"), std::string::npos) << text;
    if (QLocale::system().language() == QLocale::C) {
        EXPECT_EQ(text, "6 Dec 2026 15:26");
    }
}

} // namespace
