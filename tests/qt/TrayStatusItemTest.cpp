#include "qt/TrayStatusItem.h"
#include "qt/QtTestSupport.h"
#include "qt/QtTimerScheduler.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

namespace {

MenuItem item(std::string id, std::string title, MenuAction action, bool enabled, bool checked = false,
              std::string key = {}) {
    MenuItem result;
    result.id = std::move(id);
    result.title = std::move(title);
    result.action = action;
    result.enabled = enabled;
    result.checked = checked;
    result.keyEquivalent = std::move(key);
    return result;
}

// A connected menu with a last-sync line, "Sync Hourly" on and "Start at Login" off.
Menu connectedMenu() {
    return {item("sync", "Sync Contacts Now", MenuAction::syncNow, true, false, "s"),
            item("last", "Last sync 12/6/26 9:41 AM: 3 added, 120 already in your vault", MenuAction::none, false),
            item("hourly", "Sync Hourly", MenuAction::toggleAutoSync, true, true),
            item("login", "Start at Login", MenuAction::toggleLoginItem, true, false),
            MenuItem::makeSeparator("s1"),
            item("as", "Connected as ada&co@example.org", MenuAction::none, false),
            item("disconnect", "Disconnect", MenuAction::disconnect, true),
            item("server", "Server: peltwick.app…", MenuAction::setServer, true),
            MenuItem::makeSeparator("s2"),
            item("quit", "Quit", MenuAction::quit, true, false, "q")};
}

// The visible actions as "text[-][x][shortcut]|...", separators as "---".
QString shown(QMenu& menu) {
    QString all;
    for (QAction* action : menu.actions()) {
        if (!action->isVisible()) continue;
        all += action->isSeparator() ? QStringLiteral("---") : action->text();
        all += QString(action->isEnabled() ? "" : "[-]") + (action->isChecked() ? "[x]" : "") +
               (action->isCheckable() && !action->isChecked() ? "[ ]" : "") +
               (action->shortcut().isEmpty() ? "" : "[" + action->shortcut().toString() + "]") + "|";
    }
    return all;
}

class TrayStatusItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        tray_.show([this](MenuAction action) { chosen_.push_back(action); });
    }

    RecordingDialogs dialogs_;
    TrayStatusItem tray_{dialogs_, QStringLiteral("Peltwick Importer")};
    std::vector<MenuAction> chosen_;
};

TEST_F(TrayStatusItemTest, OneMenuForLifeWhoseActionsFollowEachDescription) {
    QMenu* menu = tray_.menu();
    EXPECT_EQ(tray_.trayIcon().contextMenu(), menu);
    EXPECT_FALSE(tray_.trayIcon().icon().isNull());
    tray_.setMenu(connectedMenu());
    EXPECT_EQ(shown(*menu), QString::fromUtf8("Sync Contacts Now[Ctrl+S]|Last sync 12/6/26 9:41 AM: 3 added, 120 "
                                              "already in your vault[-]|Sync Hourly[x]|Start at Login[ ]|---|"
                                              "Connected as ada&&co@example.org[-]|Disconnect|Server: "
                                              "peltwick.app…|---|Quit[Ctrl+Q]|"));
    const QList<QAction*> first = menu->actions();

    // Disconnected, then connected again: the same actions, updated, hidden and shown again.
    Menu disconnected = connectedMenu();
    disconnected[0].enabled = false;
    disconnected.erase(disconnected.begin() + 5, disconnected.begin() + 7);
    disconnected.insert(disconnected.begin() + 5, item("connect", "Connect…", MenuAction::connect, true));
    tray_.setMenu(disconnected);
    EXPECT_EQ(tray_.trayIcon().contextMenu(), menu);
    EXPECT_EQ(shown(*menu), QString::fromUtf8("Sync Contacts Now[-][Ctrl+S]|Last sync 12/6/26 9:41 AM: 3 added, 120 "
                                              "already in your vault[-]|Sync Hourly[x]|Start at Login[ ]|---|"
                                              "Connect…|Server: peltwick.app…|---|Quit[Ctrl+Q]|"));
    tray_.setMenu(connectedMenu());
    EXPECT_EQ(menu->actions().size(), first.size() + 1);
    for (QAction* action : first)
        EXPECT_TRUE(menu->actions().contains(action));
    // An item that first comes in a later menu takes its place among the others.
    Menu withoutLine = connectedMenu();
    withoutLine.erase(withoutLine.begin() + 1);
    {
        RecordingDialogs dialogs;
        TrayStatusItem fresh(dialogs, QStringLiteral("Peltwick Importer"));
        fresh.setMenu(withoutLine);
        fresh.setMenu(connectedMenu());
        EXPECT_EQ(shown(*fresh.menu()), shown(*menu));
        // Items first met in an order that a later menu turns round are moved.
        TrayStatusItem other(dialogs, QStringLiteral("Peltwick Importer"));
        const MenuItem a = item("a", "A", MenuAction::none, true), b = item("b", "B", MenuAction::none, true);
        other.setMenu({b});
        other.setMenu({a, item("c", "C", MenuAction::none, true)}); // B, A, C
        other.setMenu({a, b});
        EXPECT_EQ(shown(*other.menu()), QStringLiteral("A|B|"));
    }
}

TEST_F(TrayStatusItemTest, ClicksAndShortcutsReachTheHandler) {
    // Left click opens the same menu.
    emit tray_.trayIcon().activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(waitFor([&] { return tray_.menu()->isVisible(); }));

    tray_.setMenu(connectedMenu());
    tray_.menu()->actions()[6]->trigger();
    EXPECT_TRUE(chosen_.empty()); // delivered from the event loop, not inside the menu's signal
    ASSERT_TRUE(waitFor([&] { return chosen_.size() == 1; }));
    EXPECT_EQ(chosen_[0], MenuAction::disconnect);

    // Ctrl+S while the menu is open: the menu closes and the sync item is chosen.
    emit tray_.trayIcon().activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(waitFor([&] { return tray_.menu()->isVisible(); }));
    QTest::keyClick(tray_.menu(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return chosen_.size() == 2; }));
    EXPECT_EQ(chosen_[1], MenuAction::syncNow);
    EXPECT_FALSE(tray_.menu()->isVisible());

    // A disabled item's shortcut does nothing; Ctrl+Q chooses "Quit".
    Menu syncing = connectedMenu();
    syncing[0].title = "Syncing…";
    syncing[0].enabled = false;
    tray_.setMenu(syncing);
    tray_.menu()->popup(QPoint(10, 10));
    ASSERT_TRUE(waitFor([&] { return tray_.menu()->isVisible(); }));
    QTest::keyClick(tray_.menu(), Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(tray_.menu(), Qt::Key_Q, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return chosen_.size() == 3; }));
    EXPECT_EQ(chosen_[2], MenuAction::quit);
    waitFor([] { return false; }, 50);
    EXPECT_EQ(chosen_.size(), 3u);
}

TEST_F(TrayStatusItemTest, AHostDrawnMenuHoldsTicksOnlyOnceItsHostHasReportedAClose) {
    QtTimerScheduler scheduler;
    QObject::connect(&tray_, &TrayStatusItem::hostMenuOpenChanged, &QtTimerScheduler::setHostMenuOpen);
    int ticks = 0;
    auto timer = scheduler.scheduleRepeating(std::chrono::milliseconds(100), [&] { ++ticks; });
    // A host that never says its menu closed (xfce4-panel) never holds a tick.
    emit tray_.menu()->aboutToShow();
    ASSERT_TRUE(waitFor([&] { return ticks >= 2; }, 500));
    EXPECT_FALSE(tray_.isHostMenuOpen());
    // Once it has reported a close, its menu counts as open from about-to-show to the close.
    emit tray_.menu()->aboutToHide();
    emit tray_.menu()->aboutToShow();
    ASSERT_TRUE(waitFor([&] { return tray_.isHostMenuOpen(); }));
    const int held = ticks;
    waitFor([] { return false; }, 350);
    EXPECT_EQ(ticks, held);
    emit tray_.menu()->aboutToHide();
    EXPECT_TRUE(waitFor([&] { return ticks == held + 1; }, 300)); // the held tick, once
    // A menu Qt draws itself is not the host's.
    tray_.menu()->popup(QPoint(10, 10));
    waitFor([] { return false; }, 20);
    EXPECT_FALSE(tray_.isHostMenuOpen());
    tray_.menu()->hide();
}

TEST(TrayStatusItemNoTray, WaitsForATrayAndSaysOnceThatNoneCame) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()); // the offscreen platform has none
    RecordingDialogs dialogs;
    TrayStatusItem tray(dialogs, QStringLiteral("Peltwick Importer"), std::chrono::milliseconds(100),
                        std::chrono::milliseconds(20));
    tray.show([](MenuAction) {});
    EXPECT_TRUE(tray.isWaitingForTray());
    waitFor([] { return false; }, 60);
    EXPECT_TRUE(dialogs.alerts.empty());
    ASSERT_TRUE(waitFor([&] { return !dialogs.alerts.empty(); }));
    EXPECT_NE(dialogs.alerts[0].find("system tray"), std::string::npos);
    waitFor([] { return false; }, 200);
    EXPECT_EQ(dialogs.alerts.size(), 1u);
    EXPECT_TRUE(tray.isWaitingForTray()); // still looking, in case a tray is added later
}

} // namespace
