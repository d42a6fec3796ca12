// AppDelegate through fakes of the desktop and a vault in memory on loopback: launch, the menu in
// every keyring state, the login item, passes and their outcomes, the hourly timer and the dialogs.
// Background work runs on real threads when the test lets the dispatcher run; the test's thread
// plays the main thread.

#include "app/AppFakes.h"
#include "core/SyncReport.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string ada = "ada@example.org", ellipsis = "\u2026";
const std::string disconnectedTail = "|---|Connect\u2026|Server: peltwick.app\u2026|---|Quit|";

std::string basic(const std::string& email, const std::string& password) {
    return DAVClient("http://127.0.0.1", email, password).authorization();
}

// A connected program whose server is the vault, with five contacts (one nameless).
struct Connected : AppHarness {
    MemoryVault vault{basic(ada, "s3cret pw")};

    Connected() {
        settings.strings[AppDelegate::serverURLKey] = vault.server.url();
        store(ada, "s3cret pw");
        for (const char* name : {"Ada Lovelace", "Grace Hopper", "", "Alan Turing", "Edsger Dijkstra"})
            book->people.push_back(person(name));
        timeouts.idle = 300ms;
        timeouts.overall = 1200ms;
        relaunch();
    }
    bool sync() { // one pass from the menu, run to its end
        choose(MenuAction::syncNow);
        return !app->isSyncing();
    }
    std::string lastLine() { return settings.strings[AppDelegate::lastSyncSummaryKey]; }
};

} // namespace

TEST(App, FirstLaunchSetsItsDefaultsOnceAndWaitsForTheKeyringWithoutBlocking) {
    AppHarness h;
    h.store(ada, "pw");
    h.launch(false);
    // Before the keyring answers: the icon, the defaults, the timer, and a menu that says so.
    EXPECT_TRUE(h.statusItem.onAction);
    EXPECT_EQ(h.loginItem.registers, 1);
    EXPECT_TRUE(h.settings.bools[AppDelegate::autoSyncKey]);
    EXPECT_EQ(h.timers.hourly(), 3'600'000ms);
    EXPECT_EQ(h.statusItem.titles(), "Sync Contacts Now[-]|Sync Hourly[x]|Start at Login[x]|---|Waiting for the "
                                     "keyring\u2026[-]|Server: peltwick.app\u2026|---|Quit|");
    h.dispatcher.runAll();
    EXPECT_EQ(h.statusItem.titles(), "Sync Contacts Now|Sync Hourly[x]|Start at Login[x]|---|Connected as "
                                     "ada@example.org[-]|Disconnect|Server: peltwick.app\u2026|---|Quit|");
    EXPECT_EQ(h.book->accessRequests, 0) << "no pass at launch";

    // Later launches keep what the user chose, and a failed first registration stays silent.
    h.settings.bools[AppDelegate::autoSyncKey] = false;
    h.loginItem.current = LoginItemService::Status::notRegistered;
    h.launch();
    EXPECT_EQ(h.loginItem.registers, 1);
    EXPECT_EQ(h.timers.hourly(), 0ms);
    AppHarness fresh;
    fresh.loginItem.failure = "Permission denied";
    fresh.launch();
    EXPECT_TRUE(fresh.dialogs.alerts.empty());
    EXPECT_EQ(fresh.statusItem.titles(), "Sync Contacts Now[-]|Sync Hourly[x]|Start at Login" + disconnectedTail);
}

TEST(App, TheMenuShowsTheKeyringsAnswerAndWaitsWhileItIsOverdueOrFailed) {
    AppHarness h;
    h.relaunch();
    EXPECT_EQ(h.statusItem.titles(), "Sync Contacts Now[-]|Sync Hourly|Start at Login" + disconnectedTail);
    // A credential stored behind the program's back shows at the next rebuild, at once when the
    // keyring is quick: the rebuild shows the last answer, then the fresh one.
    h.store(ada, "pw");
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync yesterday: 1 added, 2 already in your vault";
    h.statusItem.choose(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    h.dispatcher.runAll();
    EXPECT_EQ(h.statusItem.menu()[1].title, "Last sync yesterday: 1 added, 2 already in your vault");
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    // A read not answered within half a second: waiting, sync disabled, until the answer comes.
    h.statusItem.choose(MenuAction::toggleAutoSync);
    h.timers.advance(499ms);
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    h.timers.advance(1ms);
    EXPECT_TRUE(h.statusItem.has("Waiting for the keyring" + ellipsis));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
    h.dispatcher.runAll();
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    // A read made before a disconnect does not bring the credential back when it answers after it.
    h.statusItem.choose(MenuAction::toggleAutoSync);
    h.statusItem.choose(MenuAction::disconnect);
    ASSERT_TRUE(h.dispatcher.runOne());
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    h.dispatcher.runAll();
    // A failed read is no "none": the menu keeps waiting; a keyring without the item is disconnected.
    for (const auto& [status, shown] : {std::pair{SecItemStore::errSecIO, "Waiting for the keyring" + ellipsis},
                                        {SecItemStore::errSecNotAvailable, "Connect" + ellipsis},
                                        {SecItemStore::errSecInteractionNotAllowed, "Connect" + ellipsis}}) {
        h.secItems.failure = status;
        h.choose(MenuAction::toggleAutoSync);
        EXPECT_TRUE(h.statusItem.has(shown)) << status;
    }
    h.choose(MenuAction::quit);
    EXPECT_EQ(h.quits, 1);
}

TEST(App, LoginItemToggleFollowsTheServiceAndAFailureAlertsBeforeTheRebuild) {
    AppHarness h;
    h.relaunch();
    h.choose(MenuAction::toggleLoginItem);
    EXPECT_TRUE(h.statusItem.item("Start at Login").checked);
    h.choose(MenuAction::toggleLoginItem);
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);
    EXPECT_EQ(h.loginItem.registers + h.loginItem.unregisters, 2);
    h.loginItem.failure = "Read-only file system";
    std::size_t menusWhileOpen = 0;
    h.dialogs.whileAlertOpen = [&] { menusWhileOpen = h.statusItem.menus.size(); };
    const auto before = h.statusItem.menus.size();
    h.statusItem.choose(MenuAction::toggleLoginItem);
    EXPECT_EQ(h.dialogs.alerts, std::vector<std::string>{"Could not update the login item: Read-only file system"});
    EXPECT_EQ(menusWhileOpen, before);
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);
}

TEST(App, PassesStoreTheirLineAndReportAndTheNextOneReplacesIt) {
    Connected h;
    h.vault.put("grace-hopper.md", "my own note about Grace\n");
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 3 added, 2 already in your vault");
    EXPECT_EQ(h.statusItem.menu()[1].title, h.lastLine());
    const auto files = h.vault.files();
    EXPECT_EQ(files.size(), 4u);
    EXPECT_EQ(files.at("grace-hopper.md"), "my own note about Grace\n");
    EXPECT_NE(h.reports.last.find("\nadded    edsger-dijkstra.md (Edsger Dijkstra)\n"), std::string::npos);
    h.book->people.clear(); // an empty address book still stores a line
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 0 added, 0 already in your vault");
    EXPECT_EQ(h.vault.files(), files);
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(App, APassWithoutACredentialOrBesideARunningOneStartsNothing) {
    AppHarness h;
    h.launch();
    h.app->syncNow();
    h.timers.advance(3600s);
    h.dispatcher.runAll();
    EXPECT_EQ(h.book->accessRequests, 0);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    // A tick while the keyring fails: nothing shown but the menu.
    h.store(ada, "pw");
    h.secItems.failure = SecItemStore::errSecIO;
    h.timers.advance(3600s);
    h.dispatcher.runAll();
    EXPECT_EQ(h.book->accessRequests, 0);
    EXPECT_TRUE(h.dialogs.alerts.empty());

    h.secItems.failure.reset();
    h.book->granted = false;
    h.statusItem.choose(MenuAction::syncNow);
    h.statusItem.choose(MenuAction::syncNow); // a shortcut may arrive before the menu says "Syncing…"
    h.dispatcher.runAll();
    EXPECT_EQ(h.book->accessRequests, 1);
}

TEST(App, AFailedPassAlertsOnceAndClearsTheFlagOnlyAfterDismissal) {
    Connected h;
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync before";
    std::vector<std::string> whileOpen;
    h.dialogs.whileAlertOpen = [&] { whileOpen.push_back(h.statusItem.menu()[0].title); };
    h.book->granted = false;
    ASSERT_TRUE(h.sync());
    // 401 on the listing: its own text, and the credential stays.
    h.book->granted = true;
    h.store(ada, "revoked");
    ASSERT_TRUE(h.sync());
    h.store(ada, "s3cret pw");
    h.vault.server.enqueue(ScriptedHttpServer::Reply::status(503));
    ASSERT_TRUE(h.sync());
    h.book->readFails = true;
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.dialogs.alerts,
              (std::vector<std::string>{SyncReport::accessDeniedText(),
                                        "The app password was rejected \u2014 it may have been revoked. Mint a new one "
                                        "on the peltwick setup page and Connect again.",
                                        "Server error 503: ", "No address book was found in /nonexistent/contacts."}));
    EXPECT_EQ(whileOpen, std::vector<std::string>(4, "Syncing" + ellipsis));
    EXPECT_EQ(h.lastLine(), "Last sync before");
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
    EXPECT_NE(h.reports.last.find("Error: No address book was found"), std::string::npos) << h.reports.last;
}

TEST(App, ChangesWhileAPassRunsApplyFromTheNextPass) {
    Connected h;
    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.runOne()); // the keyring's answer: the pass has its client, its work waits
    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_EQ(h.statusItem.menu()[0].title, "Syncing" + ellipsis);
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    h.dialogs.answers = {"http://localhost:1/"};
    h.statusItem.choose(MenuAction::setServer);
    EXPECT_TRUE(h.statusItem.has("Server: localhost" + ellipsis));
    h.dispatcher.runAll();
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 4 added, 1 already in your vault");
    EXPECT_FALSE(h.secItems.data);
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(App, ContinuationsAfterTheDelegateIsGoneDoNothing) {
    Connected h;
    h.book->granted = false; // the pass would end in an alert
    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.runOne());              // the pass is under way
    h.statusItem.choose(MenuAction::toggleAutoSync); // and a keyring read
    const auto menus = h.statusItem.menus.size();
    h.app.reset();
    EXPECT_TRUE(h.timers.live.empty());
    EXPECT_EQ(h.dispatcher.runAll(), 2);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    h.statusItem.choose(MenuAction::syncNow); // the tray may still deliver a click to the old handler
    EXPECT_TRUE(h.dispatcher.jobs.empty());
}

TEST(App, TogglingAutoSyncRestartsTheHourlyCountdown) {
    AppHarness h;
    h.store(ada, "pw");
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
    h.choose(MenuAction::toggleAutoSync);
    EXPECT_EQ(passesAfter(7200s), 2); // 14:30: on again
    h.choose(MenuAction::toggleAutoSync);
    EXPECT_EQ(passesAfter(3599s), 2);
    EXPECT_EQ(passesAfter(1s), 3); // one hour after switching on
}

TEST(App, ConnectAsksTwiceAndTheServerDecidesWhatIsStored) {
    Connected h;
    h.choose(MenuAction::disconnect);
    EXPECT_FALSE(h.secItems.data);
    // Cancel or a blank answer ends it silently.
    for (const auto& given : std::vector<std::deque<std::optional<std::string>>>{
             {std::nullopt}, {" \t\u00a0\n"}, {ada, std::nullopt}, {ada, "\u2003 \r\n"}}) {
        h.dialogs.answers = given;
        h.choose(MenuAction::connect);
    }
    ASSERT_EQ(h.dialogs.prompts.size(), 6u);
    EXPECT_EQ(h.dialogs.prompts[0].messageText + "|" + h.dialogs.prompts[0].informativeText + "|" +
                  h.dialogs.prompts[0].placeholder,
              "Connect to peltwick|Your peltwick email address.|you@example.com");
    EXPECT_EQ(h.dialogs.prompts[3].informativeText, "Mint a device password on the peltwick setup page (" +
                                                        h.vault.server.url() + "/app) and paste it here.");
    EXPECT_TRUE(h.dialogs.prompts[3].secure);
    // Rejected: the client's message; nothing stored.
    h.dialogs.answers = {ada, "wrong"};
    h.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.alerts, std::vector<std::string>{"Not authorised \u2014 check your email and app password"});
    EXPECT_FALSE(h.secItems.data);
    // Accepted but not stored (no keyring, or one that stays locked): said so, still disconnected.
    h.secItems.failure = SecItemStore::errSecNotAvailable;
    h.dialogs.answers = {ada, "s3cret pw"};
    h.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.alert(1), "The server accepted the app password, but it could not be stored: no desktop "
                                  "keyring (Secret Service) is available, or it stayed locked. Unlock or set up your "
                                  "keyring, then connect again.");
    EXPECT_TRUE(h.statusItem.has("Connect" + ellipsis));
    // Accepted: the address trimmed and lower-cased, the password trimmed only, as sent and as stored.
    h.secItems.failure.reset();
    h.vault.server.clearRequests();
    h.dialogs.answers = {"  \u00a0ADA@Example.ORG\n", "\ts3cret pw "};
    h.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.alerts.size(), 2u);
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    EXPECT_EQ(h.vault.server.requests().at(0).header("Authorization"), basic(ada, "s3cret pw"));
    EXPECT_EQ(h.secItems.data, ada + "\ns3cret pw");
}

TEST(App, ServerAddressIsHttpsOrLoopbackAndStoredAsTyped) {
    const std::pair<std::string, bool> cases[] = {
        {"http://localhost:8080", true}, {"http://127.0.0.1", true},
        {"ftp://localhost/x", true},     {"https://vault.example.org:8443/path/", true},
        {"http://example.org", false},   {"http://localhost.example.org", false},
        {"http://[::1]:8080", false},    {"HTTPS://example.org", false},
        {" https://example.org", false}, {"", false}};
    for (const auto& [typed, accepted] : cases) {
        AppHarness h;
        h.store(ada, "pw");
        h.settings.strings[AppDelegate::serverURLKey] = "https://old.example.org/";
        h.launch();
        h.dialogs.answers = {typed};
        h.choose(MenuAction::setServer);
        EXPECT_EQ(h.dialogs.prompts.at(0).initialText, "https://old.example.org/");
        EXPECT_EQ(h.dialogs.alert(0),
                  accepted ? "(no alert)" : "Enter an https:// URL (plain http is allowed only for localhost).");
        EXPECT_EQ(h.app->serverURL(), accepted ? typed : "https://old.example.org/");
        const std::string host = accepted ? URL::parse(typed)->host : "old.example.org";
        EXPECT_TRUE(h.statusItem.has("Server: " + host + ellipsis)) << typed;
        EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    }
}

TEST(SyncReport, SaysWhatThePassDidWithEachContactAndWhatStoppedIt) {
    MemoryVault vault;
    vault.put("grace-hopper.md", "mine\n");
    MemoryContactStore store;
    Contact nameless;
    nameless.emailAddresses = {"x@example.org"};
    store.people = {person("Ada", "King"),     person("ada", "king"),    nameless,
                    person("Grace", "Hopper"), person("Alan", "Turing"), person("Edsger")};
    vault.failUpload(2, MemoryVault::Fault::status, 412); // made by someone else after the listing
    DAVClient client(vault.server.url(), ada, "pw");
    std::vector<ContactsImporter::Outcome> outcomes;
    const auto summary = ContactsImporter::sync(client, store, &outcomes);
    EXPECT_EQ(SyncReport::reportText("today", "https://vault", summary, outcomes, ""),
              "Peltwick Importer: sync of today\nServer: https://vault\n2 added, 4 already in your vault\n\n"
              "added    ada-king.md (Ada King)\n"
              "skipped  ada-king.md (ada king): an earlier contact of this sync, Ada King, has that file name\n"
              "skipped  a contact without a name (x@example.org)\n"
              "skipped  grace-hopper.md (Grace Hopper): a note of that name is already in the vault\n"
              "skipped  alan-turing.md (Alan Turing): the server said the file exists\n"
              "added    edsger.md (Edsger)\n");
    // A pass that ends in an error reports how far it came, and the error.
    store.people.push_back(person("Barbara", "Liskov"));
    vault.failUpload(1, MemoryVault::Fault::status, 507);
    outcomes.clear();
    EXPECT_THROW(ContactsImporter::sync(client, store, &outcomes), DAVClient::DAVError);
    EXPECT_EQ(SyncReport::reportText("today", "https://vault", {}, outcomes, "Server error 507: "),
              "Peltwick Importer: sync of today\nServer: https://vault\nThe sync stopped with an error.\n\n"
              "skipped  ada-king.md (Ada King): a note of that name is already in the vault\n"
              "skipped  ada-king.md (ada king): a note of that name is already in the vault\n"
              "skipped  a contact without a name (x@example.org)\n"
              "skipped  grace-hopper.md (Grace Hopper): a note of that name is already in the vault\n"
              "\nError: Server error 507: \n"); // Alan Turing's upload was the one that failed
}
