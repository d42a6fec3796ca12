// AppDelegate through fakes: launch, the login item, every menu state, the guards and outcomes of a
// pass that needs no server, the hourly timer and the dialogs.

#include "AppFakes.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string ada = "ada@example.org";
const std::string ellipsis = "\u2026";

MenuItem entry(std::string title, MenuAction action, bool enabled, bool checked = false, std::string key = {}) {
    return {false, std::move(title), action, std::move(key), enabled, checked};
}

std::string fields(const Prompt& p) {
    return p.messageText + "|" + p.informativeText + "|" + p.placeholder + "|" + p.initialText + (p.secure ? "|*" : "");
}

} // namespace

TEST(AppLaunch, FirstRunDefaultsOnceAndLaterRunsKeepTheUsersChoice) {
    for (bool registrationFails : {false, true}) {
        AppHarness h;
        h.keychain.saveCredential(ada, "pw");
        if (registrationFails) h.loginItem.registerFailure = "Permission denied";
        h.launch();
        EXPECT_EQ(h.statusItem.shows, 1);
        for (const char* key :
             {AppDelegate::loginItemDefaultedKey, AppDelegate::autoSyncDefaultedKey, AppDelegate::autoSyncKey})
            EXPECT_TRUE(h.settings.bools[key]) << key;
        EXPECT_EQ(h.loginItem.registers, 1);
        EXPECT_TRUE(h.dialogs.alerts.empty()) << "a failed first registration is dropped silently";
        EXPECT_TRUE(h.checked("Sync Hourly"));
        EXPECT_EQ(h.checked("Start at Login"), !registrationFails);
        ASSERT_EQ(h.timers.live.size(), 1u);
        EXPECT_EQ(h.timers.live.back()->interval, 3'600'000ms);
        EXPECT_TRUE(h.dispatcher.jobs.empty()) << "no pass at launch";
        EXPECT_EQ(h.book->storesMade.load(), 0);
        h.app.reset();
        h.launch();
        EXPECT_EQ(h.loginItem.registers, 1) << "registered on the first run only";
    }
    // Auto-sync switched off, or its key missing after the defaults were written: off, and it stays so.
    for (bool stored : {true, false}) {
        AppHarness h;
        if (stored) h.settings.bools[AppDelegate::autoSyncKey] = false;
        h.relaunch();
        EXPECT_EQ(h.settings.bools.count(AppDelegate::autoSyncKey), stored ? 1u : 0u);
        EXPECT_TRUE(h.timers.live.empty());
        EXPECT_EQ(h.loginItem.registers, 0);
        EXPECT_FALSE(h.checked("Sync Hourly"));
    }
}

TEST(AppLoginItem, ToggleRegistersUnlessEnabledAndAFailureAlertsBeforeTheRebuild) {
    for (int n = 0; n < 4; ++n) {
        const auto status = static_cast<LoginItemService::Status>(n);
        AppHarness h;
        h.loginItem.currentStatus = status;
        h.relaunch();
        EXPECT_EQ(h.checked("Start at Login"), status == LoginItemService::Status::enabled) << n;
        h.statusItem.choose(MenuAction::toggleLoginItem);
        EXPECT_EQ(h.loginItem.registers, status == LoginItemService::Status::enabled ? 0 : 1) << n;
        EXPECT_EQ(h.loginItem.unregisters, status == LoginItemService::Status::enabled ? 1 : 0) << n;
        EXPECT_EQ(h.checked("Start at Login"), status != LoginItemService::Status::enabled) << n;
    }
    // A failing toggle: one alert, then the menu rebuilt with the status the service still reports.
    for (bool enabled : {false, true}) {
        AppHarness h;
        h.loginItem.currentStatus =
            enabled ? LoginItemService::Status::enabled : LoginItemService::Status::notRegistered;
        h.relaunch();
        (enabled ? h.loginItem.unregisterFailure : h.loginItem.registerFailure) = "Read-only file system";
        const auto before = h.statusItem.menus.size();
        std::size_t menusWhileOpen = 0;
        h.dialogs.whileAlertOpen = [&] { menusWhileOpen = h.statusItem.menus.size(); };
        h.statusItem.choose(MenuAction::toggleLoginItem);
        ASSERT_EQ(h.dialogs.alerts.size(), 1u);
        EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
        EXPECT_EQ(h.dialogs.alertText(0), "Could not update the login item: Read-only file system");
        EXPECT_EQ(menusWhileOpen, before);
        EXPECT_EQ(h.statusItem.menus.size(), before + 1);
        EXPECT_EQ(h.checked("Start at Login"), enabled);
    }
}

TEST(AppMenu, DisconnectedAndConnectedMenusAreExactAndReadAfresh) {
    AppHarness h;
    h.relaunch();
    const MenuItem separator = MenuItem::makeSeparator(), quit = entry("Quit", MenuAction::quit, true, false, "q");
    const auto server = entry("Server: peltwick.app" + ellipsis, MenuAction::setServer, true);
    EXPECT_EQ(h.statusItem.menu(),
              (Menu{entry("Sync Contacts Now", MenuAction::syncNow, false, false, "s"),
                    entry("Sync Hourly", MenuAction::toggleAutoSync, true),
                    entry("Start at Login", MenuAction::toggleLoginItem, true), separator,
                    entry("Connect" + ellipsis, MenuAction::connect, true), server, separator, quit}));

    // A credential, a last-sync line and the marks stored behind the menu's back.
    const std::string line = "Last sync yesterday: 1 added, 2 already in your vault";
    h.keychain.saveCredential(ada, "pw");
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = line;
    h.loginItem.currentStatus = LoginItemService::Status::enabled;
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_EQ(h.statusItem.menu(),
              (Menu{entry("Sync Contacts Now", MenuAction::syncNow, true, false, "s"),
                    entry(line, MenuAction::none, false), entry("Sync Hourly", MenuAction::toggleAutoSync, true, true),
                    entry("Start at Login", MenuAction::toggleLoginItem, true, true), separator,
                    entry("Connected as " + ada, MenuAction::none, false),
                    entry("Disconnect", MenuAction::disconnect, true), server, separator, quit}));

    // Disconnecting keeps the last-sync line.
    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_FALSE(h.secItems.data);
    EXPECT_TRUE(h.statusItem.has(line));
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    EXPECT_FALSE(h.statusItem.has("Disconnect"));
    EXPECT_EQ(h.app->serverURL(), "https://peltwick.app");
    h.settings.strings[AppDelegate::serverURLKey] = "not a url";
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.statusItem.has("Server: ?" + ellipsis));
    h.statusItem.choose(MenuAction::quit);
    EXPECT_EQ(h.quits, 1);
}

TEST(AppSync, NoCredentialOrARunningPassStartsNothing) {
    AppHarness h;
    h.launch();
    auto menus = h.statusItem.menus.size();
    h.app->syncNow();
    h.timers.advance(3600s);
    EXPECT_TRUE(h.dispatcher.jobs.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);

    h.keychain.saveCredential(ada, "pw");
    h.statusItem.choose(MenuAction::syncNow);
    EXPECT_EQ(h.dispatcher.jobs.size(), 1u);
    EXPECT_EQ(h.statusItem.menu()[0], entry("Syncing" + ellipsis, MenuAction::syncNow, false, false, "s"));
    // A click (a shortcut may arrive although the item is disabled) and a tick while it runs.
    menus = h.statusItem.menus.size();
    h.statusItem.choose(MenuAction::syncNow);
    h.timers.advance(3600s);
    EXPECT_EQ(h.dispatcher.jobs.size(), 1u);
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(AppSync, AccessDeniedAlertsAndClearsTheFlagOnlyAfterDismissal) {
    AppHarness h;
    h.keychain.saveCredential(ada, "pw");
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync earlier";
    h.book->granted = false;
    h.launch();
    h.app->syncNow();
    bool syncingWhileOpen = false;
    MenuItem syncItemWhileOpen;
    h.dialogs.whileAlertOpen = [&] {
        syncingWhileOpen = h.app->isSyncing();
        syncItemWhileOpen = h.statusItem.menu()[0];
    };
    EXPECT_EQ(h.dispatcher.runAll(), 1);
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alerts[0].text, "Contacts access was denied. Allow it in System Settings \u2192 Privacy & "
                                        "Security \u2192 Contacts.");
    EXPECT_TRUE(syncingWhileOpen);
    EXPECT_EQ(syncItemWhileOpen.title, "Syncing" + ellipsis);
    EXPECT_FALSE(h.app->isSyncing());
    EXPECT_EQ(h.statusItem.menu()[0], entry("Sync Contacts Now", MenuAction::syncNow, true, false, "s"));
    EXPECT_EQ(h.settings.strings[AppDelegate::lastSyncSummaryKey], "Last sync earlier");
}

TEST(AppSync, SomethingOddThrownBecomesOneGenericAlertAndTheMenuComesBack) {
    AppHarness h;
    h.keychain.saveCredential(ada, "pw");
    h.book->makeThrows = true;
    h.launch();
    h.app->syncNow();
    h.dispatcher.runAll();
    EXPECT_EQ(h.dialogs.alertText(0), "An unexpected error occurred.");
    EXPECT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppSync, ContinuationsAfterTheDelegateIsGoneDoNothing) {
    AppHarness h;
    h.keychain.saveCredential(ada, "pw");
    h.launch();
    h.app->syncNow();
    const auto menus = h.statusItem.menus.size();
    h.app.reset();
    EXPECT_TRUE(h.timers.live.empty());
    h.book->granted = false;
    EXPECT_EQ(h.dispatcher.runAll(), 1);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    h.statusItem.choose(MenuAction::syncNow); // the tray may still deliver a click to the old handler
    EXPECT_TRUE(h.dispatcher.jobs.empty());
}

TEST(AppAutoSync, TogglingRestartsTheHourlyCountdown) {
    AppHarness h;
    h.keychain.saveCredential(ada, "pw");
    h.book->granted = false; // each pass ends at the access request
    h.launch();              // 10:00
    auto passesAfter = [&](std::chrono::seconds step) {
        h.timers.advance(step);
        h.dispatcher.runAll();
        return h.book->accessRequests.load();
    };
    EXPECT_EQ(passesAfter(3599s), 0);
    EXPECT_EQ(passesAfter(1s), 1);    // 11:00
    EXPECT_EQ(passesAfter(5400s), 2); // 12:30: off
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_FALSE(h.checked("Sync Hourly"));
    EXPECT_EQ(passesAfter(7200s), 2); // 14:30: on again
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.checked("Sync Hourly"));
    EXPECT_EQ(h.timers.live.size(), 1u);
    EXPECT_EQ(passesAfter(3599s), 2);
    EXPECT_EQ(passesAfter(1s), 3); // one hour after switching on
}

TEST(AppConnect, CancelAndBlankAnswersEndSilently) {
    AppHarness h;
    h.launch();
    const std::vector<std::deque<std::optional<std::string>>> answers = {
        {std::nullopt}, {" \t\u00a0\n"}, {ada, std::nullopt}, {ada, "\u2003 \r\n"}};
    for (const auto& given : answers) {
        h.dialogs.answers = given;
        h.statusItem.choose(MenuAction::connect);
    }
    ASSERT_EQ(h.dialogs.prompts.size(), 6u);
    EXPECT_TRUE(h.dialogs.answers.empty());
    EXPECT_EQ(fields(h.dialogs.prompts[0]), "Connect to peltwick|Your peltwick email address.|you@example.com|");
    EXPECT_EQ(fields(h.dialogs.prompts[3]), "App password|Mint a device password on the peltwick setup page "
                                            "(https://peltwick.app/app) and paste it here.|app password||*");
    EXPECT_TRUE(h.dispatcher.jobs.empty());
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_FALSE(h.secItems.data);
}

TEST(AppServer, AcceptsHttpsOrTheLoopbackHostAndStoresTheTextAsTyped) {
    const std::pair<std::string, bool> cases[] = {
        {"http://localhost:8080", true}, {"http://127.0.0.1", true},
        {"ftp://localhost/x", true},     {"https://vault.example.org:8443/path/", true},
        {"http://example.org", false},   {"http://localhost.example.org", false},
        {"http://[::1]:8080", false},    {"HTTPS://example.org", false},
        {" https://example.org", false}, {"", false},
        {"example.org", false},
    };
    for (const auto& [typed, accepted] : cases) {
        AppHarness h;
        h.keychain.saveCredential(ada, "pw");
        h.settings.strings[AppDelegate::serverURLKey] = "https://old.example.org/";
        h.launch();
        h.dialogs.answers = {typed};
        h.statusItem.choose(MenuAction::setServer);
        ASSERT_EQ(h.dialogs.prompts.size(), 1u) << "the prompt does not reopen";
        EXPECT_EQ(fields(h.dialogs.prompts[0]),
                  "Server URL|The peltwick server address.|https://peltwick.app|https://old.example.org/");
        EXPECT_LE(h.dialogs.alerts.size(), 1u);
        EXPECT_EQ(h.dialogs.alertText(0),
                  accepted ? "(no alert)" : "Enter an https:// URL (plain http is allowed only for localhost).");
        EXPECT_EQ(h.app->serverURL(), accepted ? typed : "https://old.example.org/");
        const std::string host = accepted ? URL::parse(typed)->host : "old.example.org";
        EXPECT_TRUE(h.statusItem.has("Server: " + host + ellipsis)) << typed;
        EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    }

    // Nothing stored: the field starts with the default address; Cancel changes nothing.
    AppHarness h;
    h.launch();
    h.dialogs.answers = {std::nullopt};
    const auto menus = h.statusItem.menus.size();
    h.statusItem.choose(MenuAction::setServer);
    EXPECT_EQ(h.dialogs.prompts[0].initialText, "https://peltwick.app");
    EXPECT_EQ(h.settings.strings.count(AppDelegate::serverURLKey), 0u);
    EXPECT_EQ(h.statusItem.menus.size(), menus);
}
