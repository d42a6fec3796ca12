// The keyring store against a real gnome-keyring-daemon in a private D-Bus session, started by
// tests/scripts/with-keyring.sh; each test runs only in the keyring states it is written for.
#include <libsecret/secret.h>

#include "core/Keychain.h"
#include "platform/SecretServiceStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

const std::string login = "/org/freedesktop/secrets/collection/login";
const std::string ours =
    std::string(" service ") + SecretServiceStore::serviceIdentifier + " account webdav-credential";
const std::string email = "zo\xC3\xAB@example.org", password = "p\xC3\xA4ss\nw\xC3\xB6rd"; // a line feed inside

// Runs a shell command; its standard output, byte for byte (empty when it failed).
std::string run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    return pipe && ::pclose(pipe) == 0 ? out : "";
}

std::string gdbus(const std::string& path, const std::string& method, const std::string& arguments) {
    return run("gdbus call --session --dest org.freedesktop.secrets --object-path " + path + " --method " + method +
               " " + arguments);
}

// How many items with our two attributes the login collection (the default one) holds.
int itemsOnKeyring() {
    const std::string reply = gdbus(login, "org.freedesktop.Secret.Collection.SearchItems",
                                    std::string("\"{'service': '") + SecretServiceStore::serviceIdentifier +
                                        "', 'account': 'webdav-credential'}\"");
    int count = 0;
    for (auto at = reply.find(login + "/"); at != std::string::npos; at = reply.find(login + "/", at + 1))
        ++count;
    return reply.empty() ? -1 : count;
}

// Locks the login collection, as an automatic login that did not open the keyring leaves it.
bool lockCollection() {
    return !gdbus("/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock", "\"['" + login + "']\"").empty();
}

// Unlocks it with its password and no prompt, through gnome-keyring's own interface; the session
// this needs belongs to the connection, so both calls go through the one shared bus.
bool unlockCollection() {
    std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> bus(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr), &g_object_unref);
    auto call = [&](const char* interface, const char* method, GVariant* parameters) {
        return g_dbus_connection_call_sync(bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets", interface,
                                           method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    };
    GVariant* opened =
        call("org.freedesktop.Secret.Service", "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")));
    if (!opened) return false;
    const char* session = nullptr;
    GVariant* output = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    const char* master = std::getenv("KEYRING_PASSWORD") ? std::getenv("KEYRING_PASSWORD") : "test-password";
    GVariant* secret =
        g_variant_new("(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, master, std::strlen(master), 1), "text/plain");
    GVariant* reply = call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                           g_variant_new("(o@(oayays))", login.c_str(), secret));
    g_variant_unref(output);
    g_variant_unref(opened);
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
}

// The keyring state with-keyring.sh set up is one of `modes`; a test for other states is skipped.
bool inMode(std::initializer_list<std::string_view> modes) {
    const char* mode = std::getenv("PELTWICK_KEYRING_MODE");
    return mode && std::find(modes.begin(), modes.end(), std::string_view(mode)) != modes.end();
}
#define ONLY_IN(...)                                                                                                   \
    if (!inMode({__VA_ARGS__})) GTEST_SKIP() << "for another keyring state"

} // namespace

TEST(Unlocked, SaveLoadReplaceAndDeleteOneItem) {
    ONLY_IN("unlocked");
    SecretServiceStore store;
    Keychain keychain(store);
    EXPECT_FALSE(keychain.loadCredential());
    keychain.saveCredential(email, password);
    auto loaded = keychain.loadCredential();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->email + "|" + loaded->password, email + "|" + password);
    EXPECT_EQ(run("secret-tool lookup" + ours), email + "\n" + password);
    EXPECT_EQ(itemsOnKeyring(), 1);
    const auto listing = run("secret-tool search --all account webdav-credential 2>&1");
    EXPECT_NE(listing.find("label = Peltwick Importer credential"), std::string::npos) << listing;

    keychain.saveCredential("ada@example.org", "second");
    EXPECT_EQ(itemsOnKeyring(), 1);
    EXPECT_EQ(run("secret-tool lookup" + ours), "ada@example.org\nsecond");

    keychain.deleteCredential();
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(itemsOnKeyring(), 0);
    keychain.deleteCredential();
    std::string data;
    EXPECT_EQ(store.copyMatching(data), SecItemStore::errSecItemNotFound);
    EXPECT_EQ(store.update("x"), SecItemStore::errSecItemNotFound);
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 0);
}

TEST(Unlocked, ReadsItemsWrittenByOtherProgramsByteForByte) {
    ONLY_IN("unlocked");
    SecretServiceStore store;
    Keychain keychain(store);
    // Arbitrary bytes, a NUL and a bare CR included, come back unchanged.
    ASSERT_EQ(run("printf 'ada@example.org\\n\\r\\000\\303\\251\\177' | secret-tool store --label=other" + ours), "");
    std::string data;
    ASSERT_EQ(store.copyMatching(data), SecItemStore::errSecSuccess);
    EXPECT_EQ(data, std::string("ada@example.org\n\r\0\xC3\xA9\x7F", 21));

    // A damaged item whose bytes are not UTF-8 reads as no credential, and a save repairs it in place.
    run("printf 'ada@example.org\\npw\\377' | secret-tool store --label=other" + ours);
    EXPECT_FALSE(keychain.loadCredential());
    keychain.saveCredential("ada@example.org", "pw");
    EXPECT_EQ(itemsOnKeyring(), 1);
    EXPECT_TRUE(keychain.loadCredential());

    // An item in another collection than the default one is not ours.
    keychain.deleteCredential();
    run("printf 'ada@example.org\\npw' | secret-tool store --collection=session --label=elsewhere" + ours);
    EXPECT_FALSE(keychain.loadCredential());
}

TEST(Unlocked, TheCredentialNeverReachesOutputOrFiles) {
    ONLY_IN("unlocked");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ASSERT_TRUE(home.starts_with("/tmp")) << "runs only in the private session";
    const std::string log = home + "/output.log";
    ::setenv("G_MESSAGES_DEBUG", "all", 1); // whatever GLib and libsecret would say goes into the log
    std::fflush(nullptr);
    const int out = ::dup(1), err = ::dup(2), file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 1);
    ::dup2(file, 2);
    {
        SecretServiceStore store;
        Keychain keychain(store);
        keychain.saveCredential("ada@example.org", "unmistakable-S3cret-\xC3\xA6\xC3\xB8");
        keychain.saveCredential("ada@example.org", "unmistakable-S3cret-2");
        std::printf("loaded: %s\n", keychain.loadCredential() ? "yes" : "no");
        keychain.deleteCredential();
    }
    std::fflush(nullptr);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (int fd : {out, err, file})
        ::close(fd);
    EXPECT_NE(run("cat " + log).find("loaded: yes"), std::string::npos) << "the log saw nothing";
    // Nothing in the log, the settings, caches or anything else written under the private home.
    EXPECT_EQ(run("grep -rlaF S3cret " + home + "; true"), "");
}

// A keyring daemon that stopped answering (SIGSTOP) fails a read within the store's bound, not after
// D-Bus's 25 s, and is read again once it answers.
TEST(Unlocked, AHungDaemonFailsTheReadWithinItsBound) {
    ONLY_IN("unlocked");
    SecretServiceStore store;
    Keychain keychain(store);
    ASSERT_TRUE(keychain.saveCredential("ada@example.org", "pw"));
    const std::string pid = run("gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
                                "--method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets "
                                "| awk '{printf \"%d\", $2}'");
    ASSERT_FALSE(pid.empty());
    ASSERT_EQ(::system(("kill -STOP " + pid).c_str()), 0);
    const auto start = std::chrono::steady_clock::now();
    const CredentialRead read = keychain.readCredential();
    const auto took = std::chrono::steady_clock::now() - start;
    ::system(("kill -CONT " + pid).c_str());
    EXPECT_EQ(read.answer, CredentialRead::Answer::failed);
    EXPECT_LT(took, std::chrono::milliseconds(SecretServiceStore::callTimeoutMs + 2000));
    EXPECT_EQ(keychain.readCredential().answer, CredentialRead::Answer::stored);
}

TEST(Locked, NothingIsReadOrWrittenWhileTheCollectionStaysLocked) {
    ONLY_IN("locked");
    SecretServiceStore store;
    Keychain keychain(store);
    // No prompt can open (no display): nothing is read, and reads ask to unlock only once.
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 1);
    // Each save and delete asks again, and is dropped while the collection stays locked.
    EXPECT_EQ(keychain.readCredential().answer, CredentialRead::Answer::none);
    EXPECT_FALSE(keychain.saveCredential("ada@example.org", "while-locked"));
    keychain.deleteCredential();
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 3);
    ASSERT_TRUE(unlockCollection());
    EXPECT_EQ(itemsOnKeyring(), 0);

    // An item stored while unlocked stays as it was through a save attempted while locked.
    keychain.saveCredential("ada@example.org", "before");
    ASSERT_TRUE(lockCollection());
    keychain.saveCredential("ada@example.org", "while-locked");
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 4);
    ASSERT_TRUE(unlockCollection());
    EXPECT_EQ(itemsOnKeyring(), 1);
    const auto loaded = keychain.loadCredential();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->password, "before");
}

// No Secret Service on the bus, no collection, no bus at all, or a bus address that leads nowhere.
TEST(Unavailable, EveryCallFailsAtOnceAndNothingIsStored) {
    ONLY_IN("no-collection", "no-service", "no-bus", "dead-bus");
    SCOPED_TRACE(std::getenv("PELTWICK_KEYRING_MODE") ? std::getenv("PELTWICK_KEYRING_MODE") : "(no mode)");
    SecretServiceStore store;
    Keychain keychain(store);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(keychain.readCredential().answer, CredentialRead::Answer::none);
    EXPECT_FALSE(keychain.saveCredential("ada@example.org", "pw"));
    keychain.deleteCredential();
    // A generous bound that only catches a call waiting for a service that is not there.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(keychain.loadCredential());
    std::string data;
    EXPECT_NE(store.copyMatching(data), SecItemStore::errSecSuccess);
    // Not "missing": a save must not go on to create an item somewhere else.
    EXPECT_NE(store.update("x"), SecItemStore::errSecItemNotFound);
    EXPECT_NE(store.add("x"), SecItemStore::errSecSuccess);
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 0);
}
