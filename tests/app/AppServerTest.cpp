// AppDelegate against a vault on loopback: whole passes, the connect check, changes made while a pass
// runs, and a server that fails, goes away or stalls mid-pass. Passes run on real worker threads; the
// test's thread plays the main thread.

#include "AppFakes.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

using namespace std::chrono_literals;

namespace {

using Reply = ScriptedHttpServer::Reply;

// A WebDAV vault in memory: one account, the contacts collection, create-only uploads, and one fault
// (a 500, a stall, or hanging up on everything from then on) at the nth upload.
struct Vault {
    enum Fault { none, serverError, stalls, goesAway };

    explicit Vault(std::string authorization) : authorization_(std::move(authorization)) {
        server.setHandler([this](const ScriptedHttpServer::Request& request) { return answer(request); });
    }
    std::map<std::string, std::string> files() {
        std::lock_guard lock(mutex_);
        return files_;
    }
    void put(const std::string& name, const std::string& content) {
        std::lock_guard lock(mutex_);
        files_[name] = content;
    }
    void failAt(Fault fault, int upload) {
        std::lock_guard lock(mutex_);
        fault_ = fault, faultAt_ = upload, uploads_ = 0, gone_ = false;
    }

    Reply answer(const ScriptedHttpServer::Request& request) {
        std::lock_guard lock(mutex_);
        const std::string contacts = "/dav/contacts/";
        if (gone_) return Reply::raw({});
        if (request.header("Authorization") != authorization_) return Reply::status(401);
        if (request.method == "PROPFIND" && request.target == "/dav/") return Reply::multistatus(listing("/dav/", {}));
        if (request.method == "PROPFIND" && request.target == contacts)
            return files_.empty() ? Reply::status(404) : Reply::multistatus(listing(contacts, files_));
        if (request.method == "MKCOL" && request.target == contacts) return Reply::status(201);
        if (request.method != "PUT" || !request.target.starts_with(contacts)) return Reply::status(405);
        if (++uploads_ == faultAt_ && fault_ == goesAway) gone_ = true;
        if (uploads_ == faultAt_ && fault_ != none)
            return fault_ == serverError ? Reply::status(500) : fault_ == stalls ? Reply::stall() : Reply::raw({});
        return files_.emplace(request.target.substr(contacts.size()), request.body).second ? Reply::status(201)
                                                                                           : Reply::status(412);
    }
    static std::string listing(const std::string& collection, const std::map<std::string, std::string>& files) {
        std::string xml = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>" + collection +
                          "</D:href></D:response>";
        for (const auto& file : files)
            xml += "<D:response><D:href>" + collection + file.first + "</D:href></D:response>";
        return xml + "</D:multistatus>";
    }

    std::mutex mutex_;
    std::string authorization_;
    std::map<std::string, std::string> files_;
    Fault fault_ = none;
    int uploads_ = 0, faultAt_ = 0;
    bool gone_ = false;
    ScriptedHttpServer server; // last: stopped first, while the vault's state still exists
};

std::string basic(const std::string& email, const std::string& password) {
    return DAVClient("http://127.0.0.1", email, password).authorization();
}

// A connected program whose server address points at the vault, with five contacts (one nameless).
struct Connected : AppHarness {
    Vault vault{basic("ada@example.org", "s3cret pw")};

    Connected() {
        settings.strings[AppDelegate::serverURLKey] = vault.server.url();
        keychain.saveCredential("ada@example.org", "s3cret pw");
        for (const char* name : {"Ada Lovelace", "Grace Hopper", "", "Alan Turing", "Edsger Dijkstra"}) {
            book->contacts.emplace_back();
            book->contacts.back().givenName = name;
        }
        timeouts.idle = 300ms;
        timeouts.overall = 1200ms;
        relaunch();
    }
    bool sync() { // one pass from the menu, run to its end
        statusItem.choose(MenuAction::syncNow);
        dispatcher.runAll();
        return !app->isSyncing();
    }
    std::string lastLine() { return settings.stringForKey(AppDelegate::lastSyncSummaryKey).value_or("(none)"); }
};

} // namespace

TEST(AppServerSync, PassesStoreTheirLineAndTheNextOneReplacesIt) {
    Connected h;
    h.vault.put("grace-hopper.md", "my own note about Grace\n");
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 3 added, 2 already in your vault");
    EXPECT_EQ(h.statusItem.menu()[1].title, h.lastLine());
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
    const auto files = h.vault.files();
    EXPECT_EQ(files.size(), 4u);
    EXPECT_EQ(files.at("grace-hopper.md"), "my own note about Grace\n");
    EXPECT_EQ(files.at("ada-lovelace.md"),
              ContactsImporter::renderPerson("Ada Lovelace", std::nullopt, std::nullopt, std::nullopt, std::nullopt));

    h.dates.text = "12/6/26, 11:00 AM";
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 11:00 AM: 0 added, 5 already in your vault");
    EXPECT_EQ(h.vault.files(), files);
    h.book->contacts.clear(); // an empty address book still stores a line
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 11:00 AM: 0 added, 0 already in your vault");
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(AppServerSync, ServerErrorsBecomeOneAlertAndKeepTheLastLine) {
    Connected h;
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync before";
    // 401 on the listing: our own text, and the credential stays.
    h.keychain.saveCredential("ada@example.org", "revoked");
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.dialogs.alertText(0), "The app password was rejected \u2014 it may have been revoked. "
                                      "Mint a new one on the peltwick setup page and Connect again.");
    EXPECT_TRUE(h.statusItem.has("Connected as ada@example.org"));
    // Any other answer, and a failing address book: their own description.
    h.keychain.saveCredential("ada@example.org", "s3cret pw");
    h.vault.server.enqueue(Reply::status(503));
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.dialogs.alertText(1), "Server error 503: ");
    h.book->readThrows = true;
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.dialogs.alertText(2), "No address book was found in /nonexistent/contacts.");
    EXPECT_EQ(h.dialogs.alerts.size(), 3u);
    EXPECT_EQ(h.lastLine(), "Last sync before");
    EXPECT_TRUE(h.vault.files().empty());
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppServerSync, AFaultMidPassLosesNothingAndTheNextPassFinishesTheJob) {
    for (Vault::Fault fault : {Vault::serverError, Vault::goesAway, Vault::stalls}) {
        SCOPED_TRACE(fault);
        Connected h;
        h.vault.put("alan-turing.md", "edited by hand\n");
        h.vault.failAt(fault, 2);
        std::string menuWhileOpen;
        h.dialogs.whileAlertOpen = [&] { menuWhileOpen = h.statusItem.menu()[0].title; };
        ASSERT_TRUE(h.sync());
        ASSERT_EQ(h.dialogs.alerts.size(), 1u);
        const std::string text = h.dialogs.alertText(0);
        EXPECT_TRUE(fault == Vault::serverError ? text == "Server error 500: "
                    : fault == Vault::stalls    ? text.find("Timeout") != std::string::npos
                                                : !text.empty())
            << text;
        EXPECT_EQ(menuWhileOpen, "Syncing\u2026");
        EXPECT_EQ(h.lastLine(), "(none)");
        EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
        EXPECT_EQ(h.vault.files().size(), 2u); // the hand-edited note and the first upload

        h.vault.failAt(Vault::none, 0);
        ASSERT_TRUE(h.sync());
        EXPECT_EQ(h.dialogs.alerts.size(), 1u);
        EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 2 added, 3 already in your vault");
        EXPECT_EQ(h.vault.files().size(), 4u);
        EXPECT_EQ(h.vault.files().at("alan-turing.md"), "edited by hand\n");
    }
}

TEST(AppServerSync, ChangesWhileAPassRunsApplyFromTheNextPass) {
    Connected h;
    // The pass has its client; its network part waits for the main thread, where the user acts first.
    h.statusItem.choose(MenuAction::syncNow);
    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_EQ(h.statusItem.menu()[0].title, "Syncing\u2026");
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));
    h.dialogs.answers = {"http://localhost:1/"};
    h.statusItem.choose(MenuAction::setServer);
    EXPECT_TRUE(h.statusItem.has("Server: localhost\u2026"));
    h.dispatcher.runAll();
    ASSERT_FALSE(h.app->isSyncing());
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 4 added, 1 already in your vault");
    for (const auto& request : h.vault.server.requests())
        EXPECT_EQ(request.header("Authorization"), basic("ada@example.org", "s3cret pw"));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppServerConnect, TheServerDecidesAndOnlyAnAcceptedCredentialIsSaved) {
    Connected h;
    h.statusItem.choose(MenuAction::disconnect);
    // Rejected: one alert with the client's message; nothing saved, no rebuild.
    h.dialogs.answers = {"ada@example.org", "wrong"};
    h.statusItem.choose(MenuAction::connect);
    const auto menus = h.statusItem.menus.size();
    h.dispatcher.runAll();
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alertText(0), "Not authorised \u2014 check your email and app password");
    EXPECT_FALSE(h.secItems.data);
    EXPECT_EQ(h.statusItem.menus.size(), menus);

    // Accepted: the address trimmed and lower-cased, the password trimmed only, as sent and as saved.
    h.vault.server.clearRequests();
    h.dialogs.answers = {"  \u00a0ADA@Example.ORG\n", "\ts3cret pw "};
    h.statusItem.choose(MenuAction::connect);
    EXPECT_TRUE(h.statusItem.has("Connect\u2026")); // nothing changes before the server answers
    h.dispatcher.runAll();
    EXPECT_TRUE(h.statusItem.has("Connected as ada@example.org"));
    EXPECT_EQ(h.dialogs.alerts.size(), 1u);
    const auto requests = h.vault.server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method + " " + requests[0].target, "PROPFIND /dav/");
    EXPECT_EQ(requests[0].header("Authorization"), basic("ada@example.org", "s3cret pw"));
    EXPECT_EQ(h.secItems.data, "ada@example.org\ns3cret pw");

    // A server that cannot be reached: one alert with the transport's message, keychain as it was.
    h.settings.strings[AppDelegate::serverURLKey] = "http://127.0.0.1:1";
    h.dialogs.answers = {"bob@example.org", "pw"};
    h.statusItem.choose(MenuAction::connect);
    h.dispatcher.runAll();
    ASSERT_EQ(h.dialogs.alerts.size(), 2u);
    EXPECT_NE(h.dialogs.alertText(1), "");
    EXPECT_EQ(h.secItems.data, "ada@example.org\ns3cret pw");
}
