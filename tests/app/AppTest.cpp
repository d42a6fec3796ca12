// AppDelegate through fakes of the desktop and a vault in memory on loopback: launch, the menu in
// every keyring state, the login item, passes and their report, the hourly timer and the dialogs.
// Background work runs on real threads when the test lets the dispatcher run.

#include "app/AppFakes.h"
#include "core/SyncReport.h"

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string ada = "ada@example.org", ellipsis = "\u2026", connectItem = "Connect\u2026";
const std::string accountTail = "|---|Connect\u2026|Server: peltwick.app\u2026|---|Quit|";

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
            book.people.push_back(person(name));
        relaunch();
    }
    std::string lastLine() { return settings.strings[AppDelegate::lastSyncSummaryKey]; }
};

} // namespace

TEST(App, FirstLaunchSetsItsDefaultsOnceAndWaitsForTheKeyringWithoutBlocking) {
    AppHarness h;
    h.store(ada, "pw");
    h.launch(false);
    EXPECT_EQ(h.loginItem.changes, 1);
    EXPECT_EQ(h.timers.hourly(), 3'600'000ms);
    EXPECT_EQ(h.statusItem.titles(), "Sync Contacts Now[-]|Sync Hourly[x]|Start at Login[x]|---|Waiting for the "
                                     "keyring\u2026[-]|Server: peltwick.app\u2026|---|Quit|");
    h.dispatcher.runAll();
    EXPECT_EQ(h.statusItem.titles(), "Sync Contacts Now|Sync Hourly[x]|Start at Login[x]|---|Connected as "
                                     "ada@example.org[-]|Disconnect|Server: peltwick.app\u2026|---|Quit|");
    EXPECT_EQ(h.book.accessRequests, 0) << "no pass at launch";
    // Later launches keep what the user chose; a failed first registration stays silent.
    h.settings.bools[AppDelegate::autoSyncKey] = false;
    h.loginItem.current = LoginItemService::Status::notRegistered;
    h.launch();
    EXPECT_EQ(h.loginItem.changes, 1);
    EXPECT_EQ(h.timers.hourly(), 0ms);
    AppHarness fresh;
    fresh.loginItem.failure = "Permission denied";
    fresh.launch();
    EXPECT_TRUE(fresh.dialogs.alerts.empty());
    EXPECT_EQ(fresh.statusItem.titles(), "Sync Contacts Now[-]|Sync Hourly[x]|Start at Login" + accountTail);
}

TEST(App, TheMenuShowsTheKeyringsAnswerAndWaitsWhileItIsOverdueOrFailed) {
    AppHarness h;
    h.relaunch();
    // A credential stored behind the program's back shows at the next rebuild: at once the last
    // answer, then the fresh one.
    h.store(ada, "pw");
    h.statusItem.onAction(MenuAction::toggleAutoSync);
    EXPECT_TRUE(h.statusItem.has(connectItem));
    h.dispatcher.runAll();
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    // A read not answered within half a second: waiting, sync disabled, until the answer comes.
    h.statusItem.onAction(MenuAction::toggleAutoSync);
    h.timers.advance(499ms);
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    h.timers.advance(1ms);
    EXPECT_TRUE(h.statusItem.has("Waiting for the keyring" + ellipsis));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
    h.dispatcher.runAll();
    EXPECT_TRUE(h.statusItem.has("Connected as " + ada));
    // A read made before a disconnect does not bring the credential back when it answers after it.
    h.statusItem.onAction(MenuAction::toggleAutoSync);
    h.statusItem.onAction(MenuAction::disconnect);
    ASSERT_TRUE(h.dispatcher.runOne());
    EXPECT_TRUE(h.statusItem.has(connectItem));
    h.dispatcher.runAll();
    // A failed read is no "none": the menu keeps waiting; a keyring without the item is disconnected.
    for (const auto& [status, shown] : {std::pair{SecItemStore::errSecIO, "Waiting for the keyring" + ellipsis},
                                        {SecItemStore::errSecNotAvailable, connectItem},
                                        {SecItemStore::errSecInteractionNotAllowed, connectItem}}) {
        h.secItems.failure = status;
        h.choose(MenuAction::toggleAutoSync);
        EXPECT_TRUE(h.statusItem.has(shown)) << status;
    }
    h.choose(MenuAction::quit);
    EXPECT_EQ(h.quits, 1);
}

TEST(App, AFailedLoginItemToggleAlertsBeforeTheRebuild) {
    AppHarness h;
    h.relaunch();
    h.loginItem.failure = "Read-only file system";
    std::size_t menusWhileOpen = 0;
    h.dialogs.whileAlertOpen = [&] { menusWhileOpen = h.statusItem.menus.size(); };
    const auto before = h.statusItem.menus.size();
    h.statusItem.onAction(MenuAction::toggleLoginItem);
    EXPECT_EQ(h.dialogs.alerts, Strings{"Could not update the login item: Read-only file system"});
    EXPECT_EQ(menusWhileOpen, before);
    EXPECT_FALSE(h.statusItem.item("Start at Login").checked);
}

TEST(App, APassStoresItsLineAndReportAndMenuAndGuardsAgainstASecondPass) {
    Connected h;
    h.vault.put("grace-hopper.md", "my own note about Grace\n");
    h.statusItem.onAction(MenuAction::syncNow);
    h.statusItem.onAction(MenuAction::syncNow); // a shortcut may come before the menu says "Syncing…"
    h.timers.advance(1h);                       // and a tick
    h.dispatcher.runAll();
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 3 added, 2 already in your vault");
    EXPECT_EQ(h.statusItem.menu()[1].title, h.lastLine());
    EXPECT_EQ(h.vault.files().size(), 4u);
    EXPECT_EQ(h.vault.files()["grace-hopper.md"], "my own note about Grace\n");
    EXPECT_NE(h.reports.last.find("\nadded    edsger-dijkstra.md (Edsger Dijkstra)\n"), std::string::npos);
    EXPECT_EQ(h.book.accessRequests, 1);
    // Without a credential, or with a keyring that fails, nothing happens but the menu.
    for (int status : {SecItemStore::errSecItemNotFound, SecItemStore::errSecIO}) {
        h.secItems.failure = status;
        h.timers.advance(1h);
        h.choose(MenuAction::syncNow);
    }
    EXPECT_EQ(h.book.accessRequests, 1);
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(App, AFailedPassAlertsOnceAndClearsTheFlagOnlyAfterDismissal) {
    Connected h;
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync before";
    Strings whileOpen;
    h.dialogs.whileAlertOpen = [&] { whileOpen.push_back(h.statusItem.menu()[0].title); };
    h.book.granted = false;
    h.choose(MenuAction::syncNow);
    h.book.granted = true;
    h.store(ada, "revoked"); // 401 on the listing: a text of its own
    h.choose(MenuAction::syncNow);
    h.store(ada, "s3cret pw");
    h.vault.server.enqueue(ScriptedHttpServer::Reply::status(503));
    h.choose(MenuAction::syncNow);
    h.book.readFails = true;
    h.choose(MenuAction::syncNow);
    EXPECT_EQ(h.dialogs.alerts, (Strings{SyncReport::accessDeniedText(),
                                         "The app password was rejected \u2014 it may have been revoked. Mint a new "
                                         "one on the peltwick setup page and Connect again.",
                                         "Server error 503: ", "No address book was found in /nonexistent/contacts."}));
    EXPECT_EQ(whileOpen, Strings(4, "Syncing" + ellipsis));
    EXPECT_EQ(h.lastLine(), "Last sync before");
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
    EXPECT_NE(h.reports.last.find("Error: No address book was found"), std::string::npos) << h.reports.last;
}

TEST(App, ChangesWhileAPassRunsApplyFromTheNextPass) {
    Connected h;
    h.statusItem.onAction(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.runOne()); // the keyring's answer: the pass has its client, its work waits
    h.statusItem.onAction(MenuAction::disconnect);
    EXPECT_EQ(h.statusItem.menu()[0].title, "Syncing" + ellipsis);
    EXPECT_TRUE(h.statusItem.has(connectItem));
    h.dialogs.answers = {"http://localhost:1/"};
    h.statusItem.onAction(MenuAction::setServer);
    EXPECT_TRUE(h.statusItem.has("Server: localhost" + ellipsis));
    h.dispatcher.runAll();
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 4 added, 1 already in your vault");
    EXPECT_FALSE(h.secItems.data);
}

TEST(App, ContinuationsAfterTheDelegateIsGoneDoNothing) {
    Connected h;
    h.book.granted = false; // the pass would end in an alert
    h.statusItem.onAction(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.runOne());                // the pass is under way
    h.statusItem.onAction(MenuAction::toggleAutoSync); // and a keyring read
    const auto menus = h.statusItem.menus.size();
    h.app.reset();
    EXPECT_TRUE(h.timers.live.empty());
    EXPECT_EQ(h.dispatcher.runAll(), 2);
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
}

TEST(App, TogglingAutoSyncRestartsTheHourlyCountdown) {
    AppHarness h;
    h.store(ada, "pw");
    h.book.granted = false; // each pass ends at the access request
    h.launch();             // 10:00
    auto passesAfter = [&](std::chrono::seconds step) {
        h.timers.advance(step);
        h.dispatcher.runAll();
        return h.book.accessRequests.load();
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

TEST(App, ConnectAsksTwiceAndSaysWhenTheKeyringDidNotStoreTheCredential) {
    Connected h;
    h.choose(MenuAction::disconnect);
    // Cancel or a blank answer ends it silently.
    for (const auto& given : std::vector<std::deque<std::optional<std::string>>>{
             {std::nullopt}, {" \t\u00a0\n"}, {ada, std::nullopt}, {ada, "\u2003 \r\n"}}) {
        h.dialogs.answers = given;
        h.choose(MenuAction::connect);
    }
    ASSERT_EQ(h.dialogs.prompts.size(), 6u);
    const Prompt& email = h.dialogs.prompts[0];
    EXPECT_EQ(email.messageText + "|" + email.informativeText + "|" + email.placeholder,
              "Connect to peltwick|Your peltwick email address.|you@example.com");
    EXPECT_EQ(h.dialogs.prompts[3].informativeText, "Mint a device password on the peltwick setup page (" +
                                                        h.vault.server.url() + "/app) and paste it here.");
    EXPECT_TRUE(h.dialogs.prompts[3].secure);
    // Accepted but not stored (no keyring, or one that stays locked): said so, still disconnected.
    h.secItems.failure = SecItemStore::errSecNotAvailable;
    h.dialogs.answers = {"  \u00a0ADA@Example.ORG\n", "\ts3cret pw "};
    h.choose(MenuAction::connect);
    EXPECT_EQ(h.dialogs.alerts, Strings{"The server accepted the app password, but it could not be stored: no desktop "
                                        "keyring (Secret Service) is available, or it stayed locked. Unlock or set up "
                                        "your keyring, then connect again."});
    EXPECT_TRUE(h.statusItem.has(connectItem));
    EXPECT_EQ(h.vault.server.requests().back().header("Authorization"), basic(ada, "s3cret pw"));
}

TEST(App, ServerAddressIsHttpsOrLoopbackAndStoredAsTyped) {
    for (const auto& [typed, accepted] : {std::pair{"http://localhost:8080", true},
                                          {"http://127.0.0.1", true},
                                          {"ftp://localhost/x", true},
                                          {"https://vault.example.org:8443/path/", true},
                                          {"http://example.org", false},
                                          {"http://localhost.example.org", false},
                                          {"http://[::1]:8080", false},
                                          {"HTTPS://example.org", false},
                                          {" https://example.org", false},
                                          {"", false}}) {
        AppHarness h;
        h.settings.strings[AppDelegate::serverURLKey] = "https://old.example.org/";
        h.launch();
        h.dialogs.answers = {typed};
        h.choose(MenuAction::setServer);
        EXPECT_EQ(h.dialogs.prompts.at(0).initialText, "https://old.example.org/");
        EXPECT_EQ(h.dialogs.alerts, accepted ? Strings{}
                                             : Strings{"Enter an https:// URL (plain http is allowed only "
                                                       "for localhost)."});
        EXPECT_EQ(h.app->serverURL(), accepted ? typed : "https://old.example.org/");
        EXPECT_TRUE(h.statusItem.has("Server: " + (accepted ? URL::parse(typed)->host : "old.example.org") + ellipsis));
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
    const std::string head = "Peltwick Importer: sync of today\nServer: https://vault\n";
    EXPECT_EQ(SyncReport::reportText("today", "https://vault", summary, outcomes, ""),
              head + "2 added, 4 already in your vault\n\nadded    ada-king.md (Ada King)\n"
                     "skipped  ada-king.md (ada king): an earlier contact of this sync, Ada King, has that file name\n"
                     "skipped  a contact without a name (x@example.org)\n"
                     "skipped  grace-hopper.md (Grace Hopper): a note of that name is already in the vault\n"
                     "skipped  alan-turing.md (Alan Turing): the server said the file exists\n"
                     "added    edsger.md (Edsger)\n");
    // A pass that ends in an error reports how far it came, and the error.
    vault.failUpload(1, MemoryVault::Fault::status, 507); // Alan Turing's upload
    outcomes.clear();
    EXPECT_THROW(ContactsImporter::sync(client, store, &outcomes), DAVClient::DAVError);
    EXPECT_EQ(SyncReport::reportText("today", "https://vault", {}, outcomes, "Server error 507: "),
              head + "The sync stopped with an error.\n\n"
                     "skipped  ada-king.md (Ada King): a note of that name is already in the vault\n"
                     "skipped  ada-king.md (ada king): a note of that name is already in the vault\n"
                     "skipped  a contact without a name (x@example.org)\n"
                     "skipped  grace-hopper.md (Grace Hopper): a note of that name is already in the vault\n"
                     "\nError: Server error 507: \n");
}
