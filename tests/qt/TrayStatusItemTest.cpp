#include "qt/TrayStatusItem.h"
#include "qt/QtTestSupport.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

namespace {

MenuItem item(std::string title, MenuAction action, bool enabled, bool checked = false, std::string key = {}) {
    MenuItem result;
    result.title = std::move(title);
    result.action = action;
    result.enabled = enabled;
    result.checked = checked;
    result.keyEquivalent = std::move(key);
    return result;
}

// A connected menu with a last-sync line, "Sync Hourly" on and "Start at Login" off.
Menu connectedMenu() {
    return {item("Sync Contacts Now", MenuAction::syncNow, true, false, "s"),
            item("Last sync 12/6/26 9:41 AM: 3 added, 120 already in your vault", MenuAction::none, false),
            item("Sync Hourly", MenuAction::toggleAutoSync, true, true),
            item("Start at Login", MenuAction::toggleLoginItem, true, false),
            MenuItem::makeSeparator(),
            item("Connected as ada&co@example.org", MenuAction::none, false),
            item("Disconnect", MenuAction::disconnect, true),
            item("Server: peltwick.app…", MenuAction::setServer, true),
            MenuItem::makeSeparator(),
            item("Quit", MenuAction::quit, true, false, "q")};
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

TEST_F(TrayStatusItemTest, DescriptionBecomesTheActionsOfANewMenu) {
    tray_.setMenu(connectedMenu());
    QMenu* menu = tray_.menu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(tray_.trayIcon().contextMenu(), menu);
    EXPECT_EQ(tray_.trayIcon().toolTip(), QStringLiteral("Peltwick Importer"));
    EXPECT_FALSE(tray_.trayIcon().icon().isNull());

    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 10);
    const QStringList titles = {"Sync Contacts Now",
                                "Last sync 12/6/26 9:41 AM: 3 added, 120 already in your vault",
                                "Sync Hourly",
                                "Start at Login",
                                "",
                                "Connected as ada&&co@example.org", // "&" shown literally, not a mnemonic
                                "Disconnect",
                                QString::fromUtf8("Server: peltwick.app…"),
                                "",
                                "Quit"};
    const std::vector<bool> enabled = {true, false, true, true, true, false, true, true, true, true};
    for (int i = 0; i < actions.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actions[i]->isSeparator(), i == 4 || i == 8);
        EXPECT_EQ(actions[i]->text(), titles[i]);
        if (!actions[i]->isSeparator()) {
            EXPECT_EQ(actions[i]->isEnabled(), enabled[size_t(i)]);
        }
    }
    EXPECT_TRUE(actions[2]->isCheckable());
    EXPECT_TRUE(actions[2]->isChecked());
    EXPECT_TRUE(actions[3]->isCheckable());
    EXPECT_FALSE(actions[3]->isChecked());
    EXPECT_FALSE(actions[0]->isCheckable());
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_EQ(actions[9]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(actions[6]->shortcut().isEmpty());

    // Every rebuild replaces the whole menu; the old one goes away.
    QPointer<QMenu> old = menu;
    Menu disconnected = connectedMenu();
    disconnected[0].enabled = false;
    disconnected.erase(disconnected.begin() + 5, disconnected.begin() + 7);
    disconnected.insert(disconnected.begin() + 5, item("Connect…", MenuAction::connect, true));
    tray_.setMenu(disconnected);
    EXPECT_NE(tray_.menu(), old.data());
    EXPECT_EQ(tray_.trayIcon().contextMenu(), tray_.menu());
    EXPECT_TRUE(waitFor([&] { return old.isNull(); }));
    EXPECT_EQ(tray_.menu()->actions().size(), 9);
    EXPECT_EQ(tray_.menu()->actions()[5]->text(), QString::fromUtf8("Connect…"));
    EXPECT_FALSE(tray_.menu()->actions()[0]->isEnabled());
}

TEST_F(TrayStatusItemTest, ClicksAndShortcutsReachTheHandler) {
    tray_.setMenu(connectedMenu());
    // Left click opens the same menu.
    emit tray_.trayIcon().activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(waitFor([&] { return tray_.menu()->isVisible(); }));

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
