// AppDelegate driven through fakes: launch, settings, the login item, every menu state, the
// guards and outcomes of a pass that needs no server, the hourly timer and the dialogs.

#include "AppFakes.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string accessDenied =
    "Contacts access was denied. Allow it in System Settings \u2192 Privacy & Security \u2192 Contacts.";
const std::string badServer = "Enter an https:// URL (plain http is allowed only for localhost).";
const std::string ellipsis = "\u2026";

MenuItem entry(std::string title, MenuAction action, bool enabled, bool checked = false, std::string key = {}) {
    MenuItem item;
    item.title = std::move(title);
    item.action = action;
    item.enabled = enabled;
    item.checked = checked;
    item.keyEquivalent = std::move(key);
    return item;
}

} // namespace

TEST(AppLaunch, FirstRunWritesDefaultsRegistersOnceAndSchedulesWithoutSyncing) {
    AppHarness h;
    h.keychain.saveCredential("ada@example.org", "pw");
    h.launch();

    EXPECT_EQ(h.statusItem.shows, 1);
    EXPECT_TRUE(h.settings.bools.at(AppDelegate::loginItemDefaultedKey));
    EXPECT_TRUE(h.settings.bools.at(AppDelegate::autoSyncDefaultedKey));
    EXPECT_TRUE(h.settings.bools.at(AppDelegate::autoSyncKey));
    EXPECT_EQ(h.loginItem.registers, 1);
    EXPECT_TRUE(h.statusItem.item("Sync Hourly").checked);
    EXPECT_TRUE(h.statusItem.item("Start at Login").checked);
    ASSERT_EQ(h.timers.liveTimers(), 1);
    EXPECT_EQ(h.timers.entries.back()->interval, 3'600'000ms);
    // No pass at launch, even with a credential stored.
    EXPECT_TRUE(h.dispatcher.jobs.empty());
    EXPECT_FALSE(h.app->isSyncing());
    EXPECT_EQ(h.book->storesMade.load(), 0);

    // The same user account next time: nothing is registered again.
    h.app.reset();
    h.launch();
    EXPECT_EQ(h.loginItem.registers, 1);
}

TEST(AppLaunch, FailedFirstRegistrationIsDroppedAndNotRetried) {
    AppHarness h;
    h.loginItem.registerFailure = "Permission denied";
    h.launch();
    EXPECT_EQ(h.loginItem.registers, 1);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_TRUE(h.settings.bools.at(AppDelegate::loginItemDefaultedKey));
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);
    h.app.reset();
    h.launch();
    EXPECT_EQ(h.loginItem.registers, 1);
}

TEST(AppLaunch, LaterRunsKeepWhatTheUserChose) {
    AppHarness h;
    h.settings.bools = {{AppDelegate::loginItemDefaultedKey, true},
                        {AppDelegate::autoSyncDefaultedKey, true},
                        {AppDelegate::autoSyncKey, false}};
    h.launch();
    EXPECT_FALSE(h.settings.bools.at(AppDelegate::autoSyncKey));
    EXPECT_EQ(h.timers.liveTimers(), 0);
    EXPECT_EQ(h.loginItem.registers, 0);
    EXPECT_FALSE(h.statusItem.item("Sync Hourly").checked);

    // Defaulted but the auto-sync key itself missing: off, and it stays off.
    AppHarness g;
    g.settings.bools = {{AppDelegate::loginItemDefaultedKey, true}, {AppDelegate::autoSyncDefaultedKey, true}};
    g.launch();
    EXPECT_EQ(g.settings.bools.count(AppDelegate::autoSyncKey), 0u);
    EXPECT_EQ(g.timers.liveTimers(), 0);
    EXPECT_FALSE(g.statusItem.item("Sync Hourly").checked);
}

TEST(AppLoginItem, ToggleRegistersUnlessEnabledAndShowsTheReportedStatus) {
    for (int status : {0, 2, 3}) {
        AppHarness h;
        h.settings.bools[AppDelegate::loginItemDefaultedKey] = true;
        h.loginItem.currentStatus = status;
        h.launch();
        h.statusItem.choose(MenuAction::toggleLoginItem);
        EXPECT_EQ(h.loginItem.registers, 1) << status;
        EXPECT_EQ(h.loginItem.unregisters, 0) << status;
        EXPECT_TRUE(h.statusItem.item("Start at Login").checked) << status;
    }
    AppHarness h;
    h.settings.bools[AppDelegate::loginItemDefaultedKey] = true;
    h.loginItem.currentStatus = LoginItemService::enabled;
    h.launch();
    EXPECT_TRUE(h.statusItem.item("Start at Login").checked);
    h.statusItem.choose(MenuAction::toggleLoginItem);
    EXPECT_EQ(h.loginItem.unregisters, 1);
    EXPECT_EQ(h.loginItem.registers, 0);
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);
}

TEST(AppLoginItem, FailingToggleAlertsThenRebuildsWithTheActualStatus) {
    AppHarness h;
    h.settings.bools[AppDelegate::loginItemDefaultedKey] = true;
    h.launch();
    h.loginItem.registerFailure = "No such file or directory";
    std::size_t menusWhileOpen = 0;
    h.dialogs.whileAlertOpen = [&](const std::string&) { menusWhileOpen = h.statusItem.menus.size(); };
    const auto before = h.statusItem.menus.size();
    h.statusItem.choose(MenuAction::toggleLoginItem);
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alerts[0].text, "Could not update the login item: No such file or directory");
    EXPECT_EQ(menusWhileOpen, before);
    EXPECT_EQ(h.statusItem.menus.size(), before + 1);
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);

    // Unregistering can fail too; the mark stays on since the item is still enabled.
    h.loginItem.currentStatus = LoginItemService::enabled;
    h.loginItem.unregisterFailure = "Read-only file system";
    h.statusItem.choose(MenuAction::toggleLoginItem);
    ASSERT_EQ(h.dialogs.alerts.size(), 2u);
    EXPECT_EQ(h.dialogs.alerts[1].text, "Could not update the login item: Read-only file system");
    EXPECT_TRUE(h.statusItem.item("Start at Login").checked);
}

TEST(AppMenu, DisconnectedAndConnectedMenusAreExact) {
    AppHarness h;
    h.settings.bools = {{AppDelegate::loginItemDefaultedKey, true}, {AppDelegate::autoSyncDefaultedKey, true}};
    h.launch();
    const Menu disconnected = {
        entry("Sync Contacts Now", MenuAction::syncNow, false, false, "s"),
        entry("Sync Hourly", MenuAction::toggleAutoSync, true, false),
        entry("Start at Login", MenuAction::toggleLoginItem, true, false),
        MenuItem::makeSeparator(),
        entry("Connect" + ellipsis, MenuAction::connect, true),
        entry("Server: peltwick.app" + ellipsis, MenuAction::setServer, true),
        MenuItem::makeSeparator(),
        entry("Quit", MenuAction::quit, true, false, "q"),
    };
    EXPECT_EQ(h.statusItem.menu(), disconnected);

    // Every state is read afresh: a credential, a line and the marks stored behind the menu's back.
    h.keychain.saveCredential("ada@example.org", "pw");
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync yesterday: 1 added, 2 already in your vault";
    h.loginItem.currentStatus = LoginItemService::enabled;
    h.statusItem.choose(MenuAction::toggleAutoSync);
    const Menu connected = {
        entry("Sync Contacts Now", MenuAction::syncNow, true, false, "s"),
        entry("Last sync yesterday: 1 added, 2 already in your vault", MenuAction::none, false),
        entry("Sync Hourly", MenuAction::toggleAutoSync, true, true),
        entry("Start at Login", MenuAction::toggleLoginItem, true, true),
        MenuItem::makeSeparator(),
        entry("Connected as ada@example.org", MenuAction::none, false),
        entry("Disconnect", MenuAction::disconnect, true),
        entry("Server: peltwick.app" + ellipsis, MenuAction::setServer, true),
        MenuItem::makeSeparator(),
        entry("Quit", MenuAction::quit, true, false, "q"),
    };
    EXPECT_EQ(h.statusItem.menu(), connected);

    // Disconnecting keeps the last-sync line; a keyring that cannot be read counts as disconnected.
    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_FALSE(h.keychain.loadCredential().has_value());
    EXPECT_TRUE(h.statusItem.has("Last sync yesterday: 1 added, 2 already in your vault"));
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    EXPECT_FALSE(h.statusItem.has("Disconnect"));
    h.keychain.saveCredential("ada@example.org", "pw");
    h.secItems.failing = true;
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);

    h.statusItem.choose(MenuAction::quit);
    EXPECT_EQ(h.quits, 1);
}

TEST(AppMenu, ServerItemShowsTheHostOfTheStoredAddress) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://localhost:8080/dav/", "localhost"},
        {"https://vault.example.org:8443/some/path?x=1", "vault.example.org"},
        {"http://127.0.0.1", "127.0.0.1"},
        {"file:///srv/vault", "?"},
        {"not a url", "?"},
    };
    for (const auto& [stored, host] : cases) {
        AppHarness h;
        h.settings.strings[AppDelegate::serverURLKey] = stored;
        h.launch();
        EXPECT_EQ(h.app->serverURL(), stored);
        EXPECT_TRUE(h.statusItem.has("Server: " + host + ellipsis)) << stored;
    }
    AppHarness h;
    EXPECT_EQ(h.make().serverURL(), "https://peltwick.app");
}

TEST(AppSync, NoCredentialOrARunningPassStartsNothing) {
    AppHarness h;
    h.launch();
    const auto menus = h.statusItem.menus.size();
    h.app->syncNow();
    h.timers.advance(3600s);
    EXPECT_TRUE(h.dispatcher.jobs.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    EXPECT_TRUE(h.dialogs.alerts.empty());

    h.keychain.saveCredential("ada@example.org", "pw");
    h.statusItem.choose(MenuAction::syncNow);
    EXPECT_TRUE(h.app->isSyncing());
    EXPECT_EQ(h.dispatcher.jobs.size(), 1u);
    EXPECT_EQ(h.statusItem.menu()[0], entry("Syncing" + ellipsis, MenuAction::syncNow, false, false, "s"));
    // A click (the item is disabled, but a shortcut may still arrive) and a tick while it runs.
    const auto during = h.statusItem.menus.size();
    h.statusItem.choose(MenuAction::syncNow);
    h.timers.advance(3600s);
    EXPECT_EQ(h.dispatcher.jobs.size(), 1u);
    EXPECT_EQ(h.statusItem.menus.size(), during);
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(AppSync, AccessDeniedAlertsAndClearsTheFlagOnlyAfterDismissal) {
    AppHarness h;
    h.keychain.saveCredential("ada@example.org", "pw");
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync earlier: 1 added, 0 already in your vault";
    h.book->granted = false;
    h.launch();
    h.app->syncNow();
    bool syncingWhileOpen = false;
    MenuItem syncItemWhileOpen;
    h.dialogs.whileAlertOpen = [&](const std::string&) {
        syncingWhileOpen = h.app->isSyncing();
        syncItemWhileOpen = h.statusItem.menu()[0];
    };
    EXPECT_EQ(h.dispatcher.runAll(), 1);
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alerts[0].text, accessDenied);
    EXPECT_TRUE(syncingWhileOpen);
    EXPECT_EQ(syncItemWhileOpen.title, "Syncing" + ellipsis);
    EXPECT_FALSE(syncItemWhileOpen.enabled);
    EXPECT_FALSE(h.app->isSyncing());
    EXPECT_EQ(h.statusItem.menu()[0], entry("Sync Contacts Now", MenuAction::syncNow, true, false, "s"));
    EXPECT_EQ(h.settings.strings.at(AppDelegate::lastSyncSummaryKey),
              "Last sync earlier: 1 added, 0 already in your vault");
    EXPECT_EQ(h.book->storesMade.load(), 1);
}

TEST(AppSync, AnyThrownErrorBecomesOneAlertAndTheMenuComesBack) {
    AppHarness h;
    h.keychain.saveCredential("ada@example.org", "pw");
    h.launch();
    h.book->accessThrows = true;
    h.app->syncNow();
    h.dispatcher.runAll();
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].text, "The address book could not be opened.");
    EXPECT_FALSE(h.app->isSyncing());

    // An address book that cannot be made at all, by a factory that throws something odd.
    AppHarness g;
    g.keychain.saveCredential("ada@example.org", "pw");
    g.launch();
    g.app.reset();
    g.app = std::make_unique<AppDelegate>(AppServices{g.settings, g.statusItem, g.dialogs, g.loginItem, g.timers,
                                                      g.dispatcher, g.dates, g.keychain,
                                                      []() -> std::unique_ptr<ContactStore> { throw 42; }});
    g.app->applicationDidFinishLaunching();
    g.app->syncNow();
    g.dispatcher.runAll();
    ASSERT_EQ(g.dialogs.alerts.size(), 1u);
    EXPECT_EQ(g.dialogs.alerts[0].text, "An unexpected error occurred.");
    EXPECT_TRUE(g.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppSync, ContinuationsAfterTheDelegateIsGoneDoNothing) {
    AppHarness h;
    h.keychain.saveCredential("ada@example.org", "pw");
    h.launch();
    h.app->syncNow();
    const auto menus = h.statusItem.menus.size();
    h.app.reset();
    EXPECT_EQ(h.timers.liveTimers(), 0);
    h.book->granted = false;
    EXPECT_EQ(h.dispatcher.runAll(), 1);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    // The tray may still deliver a click to the gone delegate's handler.
    h.statusItem.choose(MenuAction::syncNow);
    EXPECT_TRUE(h.dispatcher.jobs.empty());
}

TEST(AppAutoSync, TogglingRestartsTheHourlyCountdown) {
    AppHarness h;
    h.keychain.saveCredential("ada@example.org", "pw");
    h.book->granted = false; // each pass ends at the access request, so no server is needed
    h.launch();              // 10:00
    auto passesBy = [&](std::chrono::milliseconds step) {
        h.timers.advance(step);
        h.dispatcher.runAll();
        return h.book->accessRequests.load();
    };
    EXPECT_EQ(passesBy(3599s), 0);
    EXPECT_EQ(passesBy(1s), 1);    // 11:00
    EXPECT_EQ(passesBy(3600s), 2); // 12:00
    EXPECT_EQ(passesBy(1800s), 2); // 12:30: off and on again
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_FALSE(h.statusItem.item("Sync Hourly").checked);
    EXPECT_EQ(h.timers.liveTimers(), 0);
    EXPECT_EQ(passesBy(7200s), 2); // 14:30, nothing while off
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.statusItem.item("Sync Hourly").checked);
    EXPECT_EQ(h.timers.liveTimers(), 1);
    EXPECT_EQ(passesBy(3599s), 2);
    EXPECT_EQ(passesBy(1s), 3); // 15:30, one hour after switching on
    EXPECT_EQ(h.dialogs.alerts.size(), 3u);
}

TEST(AppConnect, CancelAndBlankAnswersEndSilently) {
    AppHarness h;
    h.launch();
    h.dialogs.answers = {std::nullopt};
    h.statusItem.choose(MenuAction::connect);
    ASSERT_EQ(h.dialogs.prompts.size(), 1u);
    const Prompt& email = h.dialogs.prompts[0];
    EXPECT_EQ(email.messageText, "Connect to peltwick");
    EXPECT_EQ(email.informativeText, "Your peltwick email address.");
    EXPECT_EQ(email.placeholder, "you@example.com");
    EXPECT_EQ(email.initialText, "");
    EXPECT_FALSE(email.secure);

    h.dialogs.answers = {" \t\u00a0\n"};
    h.statusItem.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.prompts.size(), 2u);

    h.dialogs.answers = {"ada@example.org", std::nullopt};
    h.statusItem.choose(MenuAction::connect);
    ASSERT_EQ(h.dialogs.prompts.size(), 4u);
    const Prompt& password = h.dialogs.prompts[3];
    EXPECT_EQ(password.messageText, "App password");
    EXPECT_EQ(password.informativeText,
              "Mint a device password on the peltwick setup page (https://peltwick.app/app) and paste it here.");
    EXPECT_EQ(password.placeholder, "app password");
    EXPECT_TRUE(password.secure);

    h.dialogs.answers = {"ada@example.org", "\u2003 \r\n"};
    h.statusItem.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.prompts.size(), 6u);
    EXPECT_TRUE(h.dispatcher.jobs.empty());
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_FALSE(h.secItems.data.has_value());

    // The stored address goes into the setup-page text verbatim, trailing slash and all.
    h.settings.strings[AppDelegate::serverURLKey] = "http://localhost:8080/";
    h.dialogs.answers = {"ada@example.org", std::nullopt};
    h.statusItem.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.prompts.back().informativeText,
              "Mint a device password on the peltwick setup page (http://localhost:8080//app) and paste it here.");
}

TEST(AppServer, AcceptsHttpsOrTheLoopbackHostAndStoresTheTextAsTyped) {
    struct Case {
        std::string typed;
        bool accepted;
    };
    const Case cases[] = {
        {"http://localhost:8080", true},
        {"http://127.0.0.1", true},
        {"ftp://localhost/x", true},
        {"https://vault.example.org:8443/path/", true},
        {"https://example.org", true},
        {"http://example.org", false},
        {"http://localhost.example.org", false},
        {"http://[::1]:8080", false},
        {"HTTPS://example.org", false},
        {" https://example.org", false},
        {"", false},
        {"example.org", false},
    };
    for (const auto& c : cases) {
        AppHarness h;
        h.keychain.saveCredential("ada@example.org", "pw");
        h.settings.strings[AppDelegate::serverURLKey] = "https://old.example.org/";
        h.launch();
        h.dialogs.answers = {c.typed};
        h.statusItem.choose(MenuAction::setServer);
        ASSERT_EQ(h.dialogs.prompts.size(), 1u);
        EXPECT_EQ(h.dialogs.prompts[0].messageText, "Server URL");
        EXPECT_EQ(h.dialogs.prompts[0].informativeText, "The peltwick server address.");
        EXPECT_EQ(h.dialogs.prompts[0].placeholder, "https://peltwick.app");
        EXPECT_EQ(h.dialogs.prompts[0].initialText, "https://old.example.org/");
        if (c.accepted) {
            EXPECT_TRUE(h.dialogs.alerts.empty()) << c.typed;
            EXPECT_EQ(h.app->serverURL(), c.typed);
            EXPECT_TRUE(h.statusItem.has("Server: " + URL::parse(c.typed)->host + ellipsis)) << c.typed;
        } else {
            ASSERT_EQ(h.dialogs.alerts.size(), 1u) << c.typed;
            EXPECT_EQ(h.dialogs.alerts[0].text, badServer);
            EXPECT_EQ(h.app->serverURL(), "https://old.example.org/");
            EXPECT_TRUE(h.statusItem.has("Server: old.example.org" + ellipsis));
        }
        EXPECT_EQ(h.dialogs.prompts.size(), 1u) << "the prompt does not reopen";
        EXPECT_TRUE(h.statusItem.has("Connected as ada@example.org"));
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
