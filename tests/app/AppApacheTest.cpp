// The user's whole road against a real WebDAV server (Apache httpd with mod_dav, started by
// tests/scripts/with-webdav.sh): connect with a wrong and then a right app password, sync, find
// the notes on the server's disk, a password revoked after connecting, disconnect.

#include "AppFakes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(AppApache, ConnectSyncRevokeDisconnect) {
    const std::string url = env("PELTWICK_DAV_URL");
    if (url.empty()) GTEST_SKIP() << "run through tests/scripts/with-webdav.sh";
    const std::string password = env("PELTWICK_DAV_PASSWORD");

    AppHarness<ThreadDispatcher> h;
    h.settings.strings[AppDelegate::serverURLKey] = url;
    h.book->contacts = {person("Ada", "Lovelace"), person("Grace", "Hopper"), person("", "")};
    h.launch();

    h.dialogs.answers = {"ada@example.org", "not the password"};
    h.statusItem.choose(MenuAction::connect);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return !h.dialogs.alerts.empty(); }));
    EXPECT_EQ(h.dialogs.alerts[0].text, "Not authorised \u2014 check your email and app password");
    EXPECT_FALSE(h.secItems.data.has_value());
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));

    // The server knows the address in lower case only: typed otherwise, it must be folded.
    h.dialogs.answers = {" ADA@Example.org ", password + "\n"};
    h.statusItem.choose(MenuAction::connect);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return h.statusItem.has("Connected as ada@example.org"); }));
    EXPECT_EQ(h.dialogs.alerts.size(), 1u);

    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return !h.app->isSyncing(); }));
    EXPECT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.settings.strings[AppDelegate::lastSyncSummaryKey],
              "Last sync 12/6/26, 10:00 AM: 2 added, 1 already in your vault");
    const std::string folder = env("PELTWICK_DAV_DATA") + "/contacts/";
    EXPECT_EQ(readFile(folder + "ada-lovelace.md"),
              ContactsImporter::renderPerson("Ada Lovelace", std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_EQ(readFile(folder + "grace-hopper.md"),
              ContactsImporter::renderPerson("Grace Hopper", std::nullopt, std::nullopt, std::nullopt, std::nullopt));

    // The password no longer works (as if revoked on the server): our own text, still connected.
    h.keychain.saveCredential("ada@example.org", "revoked");
    h.statusItem.choose(MenuAction::syncNow);
    ASSERT_TRUE(h.dispatcher.pumpUntil([&] { return !h.app->isSyncing(); }));
    ASSERT_EQ(h.dialogs.alerts.size(), 2u);
    EXPECT_EQ(h.dialogs.alerts[1].text, "The app password was rejected \u2014 it may have been revoked. "
                                        "Mint a new one on the peltwick setup page and Connect again.");
    EXPECT_TRUE(h.statusItem.has("Connected as ada@example.org"));

    h.statusItem.choose(MenuAction::disconnect);
    EXPECT_TRUE(h.statusItem.has("Connect\u2026"));
    EXPECT_FALSE(h.statusItem.item("Sync Contacts Now").enabled);
    EXPECT_TRUE(h.statusItem.has("Last sync 12/6/26, 10:00 AM: 2 added, 1 already in your vault"));
}
