// AppDelegate against a vault on loopback: whole passes with their last-sync lines and alerts,
// the connect check, changes made while a pass runs, and a server that fails, goes away or
// stalls in the middle of a pass. Passes run on real worker threads; the test's thread plays
// the main thread.

#include "AppFakes.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

using namespace std::chrono_literals;

namespace {

const std::string rejectedPassword = "The app password was rejected \u2014 it may have been revoked. "
                                     "Mint a new one on the peltwick setup page and Connect again.";
const std::string notAuthorised = "Not authorised \u2014 check your email and app password";

// A WebDAV vault in memory behind the scripted server: one account, the contacts collection,
// create-only uploads, and switches that make it fail in the middle of a pass.
class Vault {
public:
    using Reply = ScriptedHttpServer::Reply;

    explicit Vault(std::string authorization) : authorization_(std::move(authorization)) {
        server_.setHandler([this](const ScriptedHttpServer::Request& request) { return answer(request); });
    }

    std::string url() const { return server_.url(); }
    ScriptedHttpServer& server() { return server_; }

    std::map<std::string, std::string> files() {
        std::lock_guard lock(mutex_);
        return files_;
    }
    void put(const std::string& name, const std::string& content) {
        std::lock_guard lock(mutex_);
        collection_ = true;
        files_[name] = content;
    }
    // Faults: the nth upload from now answers 500, or stalls, or the server hangs up on every
    // request from the nth upload on.
    void failUpload(int n) { set(fail500_, n); }
    void stallUpload(int n) { set(stall_, n); }
    void goAwayAtUpload(int n) { set(goneFrom_, n); }
    void heal() {
        std::lock_guard lock(mutex_);
        fail500_ = stall_ = goneFrom_ = 0;
        gone_ = false;
        uploads_ = 0;
    }
    int listings() {
        std::lock_guard lock(mutex_);
        return listings_;
    }

private:
    void set(int& field, int n) {
        std::lock_guard lock(mutex_);
        uploads_ = 0;
        field = n;
    }

    Reply answer(const ScriptedHttpServer::Request& request) {
        std::lock_guard lock(mutex_);
        if (gone_) return Reply::raw({});
        if (request.header("Authorization") != authorization_) return Reply::status(401);
        const std::string contacts = "/dav/contacts/";
        if (request.method == "PROPFIND" && request.target == "/dav/") return Reply::multistatus(listing("/dav/", {}));
        if (request.method == "PROPFIND" && request.target == contacts) {
            ++listings_;
            if (!collection_) return Reply::status(404);
            return Reply::multistatus(listing(contacts, files_));
        }
        if (request.method == "MKCOL" && request.target == contacts) {
            if (collection_) return Reply::status(405);
            collection_ = true;
            return Reply::status(201);
        }
        if (request.method == "PUT" && request.target.starts_with(contacts)) {
            ++uploads_;
            if (uploads_ == goneFrom_) {
                gone_ = true;
                return Reply::raw({});
            }
            if (uploads_ == fail500_) return Reply::status(500);
            if (uploads_ == stall_) return Reply::stall();
            if (!collection_) return Reply::status(409);
            const std::string name = request.target.substr(contacts.size());
            if (files_.count(name)) return Reply::status(412);
            files_[name] = request.body;
            return Reply::status(201);
        }
        return Reply::status(405);
    }

    static std::string listing(const std::string& collection, const std::map<std::string, std::string>& files) {
        std::string xml = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>" + collection +
                          "</D:href></D:response>";
        for (const auto& [name, content] : files)
            xml += "<D:response><D:href>" + collection + name + "</D:href></D:response>";
        return xml + "</D:multistatus>";
    }

    std::mutex mutex_;
    std::string authorization_;
    bool collection_ = false;
    std::map<std::string, std::string> files_;
    int uploads_ = 0, fail500_ = 0, stall_ = 0, goneFrom_ = 0, listings_ = 0;
    bool gone_ = false;
    ScriptedHttpServer server_; // last: stopped first, while the vault's state still exists
};

std::string basic(const std::string& email, const std::string& password) {
    return DAVClient("http://127.0.0.1", email, password).authorization();
}

// A connected program with its server address pointing at the vault.
struct Connected : AppHarness<ThreadDispatcher> {
    Vault vault{basic("ada@example.org", "s3cret pw")};

    Connected() {
        settings.strings[AppDelegate::serverURLKey] = vault.url();
        settings.bools = {{AppDelegate::loginItemDefaultedKey, true}, {AppDelegate::autoSyncDefaultedKey, true}};
        keychain.saveCredential("ada@example.org", "s3cret pw");
        book->contacts = {person("Ada", "Lovelace"), person("Grace", "Hopper"), person("", ""),
                          person("Alan", "Turing"), person("Edsger", "Dijkstra")};
        timeouts.idle = 300ms;
        timeouts.overall = 1200ms;
        launch();
    }
    // One pass from the menu, run to its end.
    bool sync() {
        statusItem.choose(MenuAction::syncNow);
        return dispatcher.pumpUntil([this] { return !app->isSyncing(); });
    }
    std::string lastLine() { return settings.stringForKey(AppDelegate::lastSyncSummaryKey).value_or("(none)"); }
};

} // namespace

TEST(AppServerSync, PassesStoreTheirLineAndTheNextOneReplacesIt) {
    Connected h;
    h.vault.put("grace-hopper.md", "my own note about Grace\n");
    ASSERT_TRUE(h.sync());
    EXPECT_TRUE(h.dialogs.alerts.empty());
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

    // An empty address book still stores a line, with both counts 0.
    h.book->contacts.clear();
    ASSERT_TRUE(h.sync());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 11:00 AM: 0 added, 0 already in your vault");
    EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(AppServerSync, ServerErrorsBecomeOneAlertAndKeepTheLastLine) {
    Connected h;
    h.settings.strings[AppDelegate::lastSyncSummaryKey] = "Last sync before: 1 added, 0 already in your vault";

    // The listing answered 401: our own text, not the client's, and the credential stays.
    h.keychain.saveCredential("ada@example.org", "revoked");
    ASSERT_TRUE(h.sync());
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alerts[0].text, rejectedPassword);
    EXPECT_TRUE(h.statusItem.has("Connected as ada@example.org"));
    EXPECT_EQ(h.lastLine(), "Last sync before: 1 added, 0 already in your vault");

    // Any other server answer: the client's own description.
    h.keychain.saveCredential("ada@example.org", "s3cret pw");
    h.vault.server().enqueue(ScriptedHttpServer::Reply::status(503));
    ASSERT_TRUE(h.sync());
    ASSERT_EQ(h.dialogs.alerts.size(), 2u);
    EXPECT_EQ(h.dialogs.alerts[1].text, "Server error 503: ");

    // A reading failure of the address book: its own message.
    h.book->readThrows = true;
    ASSERT_TRUE(h.sync());
    ASSERT_EQ(h.dialogs.alerts.size(), 3u);
    EXPECT_EQ(h.dialogs.alerts[2].text, "No address book was found in /nonexistent/contacts.");
    EXPECT_EQ(h.lastLine(), "Last sync before: 1 added, 0 already in your vault");
    EXPECT_TRUE(h.vault.files().empty());
    EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppServerSync, AFaultMidPassLosesNothingAndTheNextPassFinishesTheJob) {
    enum Fault { serverError, goesAway, stalls };
    for (Fault fault : {serverError, goesAway, stalls}) {
        SCOPED_TRACE(fault);
        Connected h;
        h.vault.put("alan-turing.md", "edited by hand\n");
        if (fault == serverError)
            h.vault.failUpload(2);
        else if (fault == goesAway)
            h.vault.goAwayAtUpload(2);
        else
            h.vault.stallUpload(2);

        std::string menuWhileOpen;
        h.dialogs.whileAlertOpen = [&](const std::string&) { menuWhileOpen = h.statusItem.menu()[0].title; };
        ASSERT_TRUE(h.sync());
        ASSERT_EQ(h.dialogs.alerts.size(), 1u);
        const std::string& text = h.dialogs.alerts[0].text;
        if (fault == serverError)
            EXPECT_EQ(text, "Server error 500: ");
        else if (fault == stalls)
            EXPECT_NE(text.find("Timeout"), std::string::npos) << text;
        else
            EXPECT_FALSE(text.empty());
        EXPECT_EQ(menuWhileOpen, "Syncing\u2026");
        EXPECT_EQ(h.lastLine(), "(none)");
        EXPECT_TRUE(h.statusItem.item("Sync Contacts Now").enabled);
        auto files = h.vault.files();
        EXPECT_EQ(files.size(), 2u); // the hand-edited note and the first upload
        EXPECT_EQ(files.at("alan-turing.md"), "edited by hand\n");

        h.vault.heal();
        ASSERT_TRUE(h.sync());
        EXPECT_EQ(h.dialogs.alerts.size(), 1u);
        EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 2 added, 3 already in your vault");
        files = h.vault.files();
        EXPECT_EQ(files.size(), 4u);
        EXPECT_EQ(files.at("alan-turing.md"), "edited by hand\n");
    }
}

TEST(AppServerSync, ChangesWhileAPassRunsApplyFromTheNextPass) {
    Connected h;
    // The pass has its client; its network part waits for the main thread, where the user acts first.
    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.app->isSyncing());
    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_EQ(h.statusItem.menu()[0].title, "Syncing\u2026");
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));
    h.dialogs.answers = {"http://localhost:1/"};
    h.statusItem.choose(MenuAction::setServer);
    EXPECT_TRUE(h.statusItem.has("Server: localhost\u2026"));

    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return !h.app->isSyncing(); }));
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.lastLine(), "Last sync 12/6/26, 10:00 AM: 4 added, 1 already in your vault");
    EXPECT_EQ(h.vault.files().size(), 4u);
    for (const auto& request : h.vault.server().requests())
        EXPECT_EQ(request.header("Authorization"), basic("ada@example.org", "s3cret pw"));
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
}

TEST(AppServerSync, ADelegateGoneMidPassIsLeftAlone) {
    Connected h;
    h.vault.stallUpload(1);
    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return h.dispatcher.ran == 1; })); // the uploads have begun
    const auto menus = h.statusItem.menus.size();
    h.app.reset();
    // The pass ends with the stall's time-out on its worker; its continuation finds no delegate.
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return h.dispatcher.ran == 2; }));
    EXPECT_TRUE(h.dialogs.alerts.empty());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
}

TEST(AppServerConnect, TheServerDecidesAndOnlyAnAcceptedCredentialIsSaved) {
    Connected h;
    h.statusItem.choose(MenuAction::disconnect);

    // Rejected: one alert with the client's message; nothing saved, no rebuild.
    h.dialogs.answers = {"ada@example.org", "wrong"};
    h.statusItem.choose(MenuAction::connect);
    auto menus = h.statusItem.menus.size();
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return !h.dialogs.alerts.empty(); }));
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].title, "Peltwick Importer");
    EXPECT_EQ(h.dialogs.alerts[0].text, notAuthorised);
    EXPECT_FALSE(h.secItems.data.has_value());
    EXPECT_EQ(h.statusItem.menus.size(), menus);
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));

    // Accepted: the address trimmed and lower-cased, the password trimmed only, as sent and saved.
    h.vault.server().clearRequests();
    h.dialogs.answers = {"  \u00a0ADA@Example.ORG\n", "\ts3cret pw "};
    h.statusItem.choose(MenuAction::connect);
    EXPECT_TRUE(h.statusItem.has("Connect\u2026")); // nothing changes before the server answers
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return h.statusItem.has("Connected as ada@example.org"); }));
    EXPECT_EQ(h.dialogs.alerts.size(), 1u);
    const auto requests = h.vault.server().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PROPFIND");
    EXPECT_EQ(requests[0].target, "/dav/");
    EXPECT_EQ(requests[0].header("Authorization"), basic("ada@example.org", "s3cret pw"));
    ASSERT_TRUE(h.keychain.loadCredential().has_value());
    EXPECT_EQ(h.keychain.loadCredential()->email, "ada@example.org");
    EXPECT_EQ(h.keychain.loadCredential()->password, "s3cret pw");

    // A server that cannot be reached: one alert with the transport's message, keychain as it was.
    h.settings.strings[AppDelegate::serverURLKey] = "http://127.0.0.1:1";
    h.dialogs.answers = {"bob@example.org", "pw"};
    h.statusItem.choose(MenuAction::connect);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return h.dialogs.alerts.size() == 2; }));
    EXPECT_FALSE(h.dialogs.alerts[1].text.empty());
    EXPECT_EQ(h.keychain.loadCredential()->email, "ada@example.org");
}
