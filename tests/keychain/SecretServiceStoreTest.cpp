// The keyring store against a real gnome-keyring-daemon in a private D-Bus session, started by
// tests/scripts/with-keyring.sh in the mode these tests are filtered for.
#include <libsecret/secret.h>

#include "core/Keychain.h"
#include "platform/SecretServiceStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const std::string loginCollection = "/org/freedesktop/secrets/collection/login";

// Runs a shell command; its standard output, byte for byte.
std::string run(const std::string& command, int* status = nullptr) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int rc = ::pclose(pipe);
    if (status) *status = rc;
    return out;
}

// The item's bytes as another program sees them.
std::string lookupWithSecretTool() {
    return run(std::string("secret-tool lookup service ") + SecretServiceStore::serviceIdentifier +
               " account webdav-credential");
}

GDBusConnection* sessionBus() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    return bus;
}

bool callService(const char* path, const char* interface, const char* method, GVariant* parameters,
                 GVariant** reply = nullptr) {
    GDBusConnection* bus = sessionBus();
    if (!bus) return false;
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, interface, method, parameters,
                                                   nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    g_object_unref(bus);
    if (error) {
        ADD_FAILURE() << method << ": " << error->message;
        g_error_free(error);
        return false;
    }
    if (reply)
        *reply = result;
    else
        g_variant_unref(result);
    return true;
}

// How many items with our two attributes the login collection (the default one) holds.
int itemsOnKeyring() {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", SecretServiceStore::serviceIdentifier);
    g_variant_builder_add(&attributes, "{ss}", "account", "webdav-credential");
    GVariant* reply = nullptr;
    if (!callService(loginCollection.c_str(), "org.freedesktop.Secret.Collection", "SearchItems",
                     g_variant_new("(a{ss})", &attributes), &reply))
        return -1;
    GVariant* paths = g_variant_get_child_value(reply, 0);
    const auto count = static_cast<int>(g_variant_n_children(paths));
    g_variant_unref(paths);
    g_variant_unref(reply);
    return count;
}

// Locks the login collection, as an automatic login that did not open the keyring leaves it.
bool lockCollection() {
    const gchar* paths[] = {loginCollection.c_str(), nullptr};
    return callService("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
                       g_variant_new("(^ao)", paths));
}

// Unlocks the login collection with its password, without a prompt (gnome-keyring's own interface).
bool unlockCollection() {
    // The session belongs to the bus connection: keep the shared connection alive throughout.
    std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> bus(sessionBus(), &g_object_unref);
    GVariant* opened = nullptr;
    if (!callService("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
                     g_variant_new("(sv)", "plain", g_variant_new_string("")), &opened))
        return false;
    const gchar* session = nullptr;
    GVariant* output = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    const char* password = std::getenv("KEYRING_PASSWORD");
    const std::string master = password ? password : "test-password";
    GVariant* secret =
        g_variant_new("(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, master.data(), master.size(), 1), "text/plain");
    const bool ok =
        callService("/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                    "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", loginCollection.c_str(), secret));
    g_variant_unref(output);
    g_variant_unref(opened);
    return ok;
}

template <typename F> double secondsFor(F&& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sends this process's standard output and error into a file while alive.
class CapturedOutput {
public:
    CapturedOutput() : file_(std::tmpfile()) {
        std::fflush(stdout);
        std::fflush(stderr);
        savedOut_ = ::dup(1);
        savedErr_ = ::dup(2);
        ::dup2(::fileno(file_), 1);
        ::dup2(::fileno(file_), 2);
    }
    std::string finish() {
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::close(savedOut_);
        ::close(savedErr_);
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        std::fclose(file_);
        return text;
    }

private:
    FILE* file_;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

const std::string email = "zo\xC3\xAB@example.org";      // zoë@example.org
const std::string password = "p\xC3\xA4ss\nw\xC3\xB6rd"; // päss, a line feed, wörd

} // namespace

TEST(Unlocked, SaveLoadReplaceAndDeleteOneItem) {
    SecretServiceStore store;
    Keychain keychain(store);
    EXPECT_FALSE(keychain.loadCredential());

    keychain.saveCredential(email, password);
    auto loaded = keychain.loadCredential();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->email, email);
    EXPECT_EQ(loaded->password, password);
    EXPECT_EQ(lookupWithSecretTool(), email + "\n" + password);
    EXPECT_EQ(itemsOnKeyring(), 1);
    const auto listing = run("secret-tool search --all account webdav-credential 2>&1");
    EXPECT_NE(listing.find("label = Peltwick Importer credential"), std::string::npos) << listing;
    EXPECT_NE(listing.find(std::string("attribute.service = ") + SecretServiceStore::serviceIdentifier),
              std::string::npos);

    keychain.saveCredential("ada@example.org", "second");
    EXPECT_EQ(itemsOnKeyring(), 1);
    EXPECT_EQ(lookupWithSecretTool(), "ada@example.org\nsecond");
    loaded = keychain.loadCredential();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->password, "second");

    keychain.deleteCredential();
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(itemsOnKeyring(), 0);
    keychain.deleteCredential();
    EXPECT_FALSE(keychain.loadCredential());

    std::string data;
    EXPECT_EQ(store.copyMatching(data), SecItemStore::errSecItemNotFound);
    EXPECT_EQ(store.update("x"), SecItemStore::errSecItemNotFound);
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 0);
}

TEST(Unlocked, ReadsItemsWrittenByOtherProgramsByteForByte) {
    SecretServiceStore store;
    Keychain keychain(store);
    const std::string store_cmd = std::string("secret-tool store --label=other service ") +
                                  SecretServiceStore::serviceIdentifier + " account webdav-credential";

    // Arbitrary bytes, a NUL and a bare CR included, come back unchanged.
    const std::string bytes("ada@example.org\n\r\0\xC3\xA9\x7F", 21);
    ASSERT_EQ(run("printf 'ada@example.org\\n\\r\\000\\303\\251\\177' | " + store_cmd), "");
    std::string data;
    ASSERT_EQ(store.copyMatching(data), SecItemStore::errSecSuccess);
    EXPECT_EQ(data, bytes);

    // A damaged item whose bytes are not UTF-8 reads as no credential, and a save repairs it in place.
    run("printf 'ada@example.org\\npw\\377' | " + store_cmd);
    EXPECT_FALSE(keychain.loadCredential());
    keychain.saveCredential("ada@example.org", "pw");
    EXPECT_EQ(itemsOnKeyring(), 1);
    EXPECT_TRUE(keychain.loadCredential());

    // An item in another collection than the default one is not ours.
    keychain.deleteCredential();
    run("printf 'ada@example.org\\npw' | secret-tool store --collection=session --label=elsewhere service " +
        std::string(SecretServiceStore::serviceIdentifier) + " account webdav-credential");
    EXPECT_FALSE(keychain.loadCredential());
}

TEST(Unlocked, TheCredentialNeverReachesOutputOrFiles) {
    const char* home = std::getenv("HOME");
    ASSERT_TRUE(home && std::string(home).starts_with("/tmp")) << "runs only in the private session";
    const std::string secret = "unmistakable-S3cret-\xC3\xA6\xC3\xB8";
    ::setenv("G_MESSAGES_DEBUG", "all", 1); // whatever GLib and libsecret would say goes into the capture
    CapturedOutput capture;
    {
        SecretServiceStore store;
        Keychain keychain(store);
        keychain.saveCredential("ada@example.org", secret);
        keychain.saveCredential("ada@example.org", secret + "2");
        const auto loaded = keychain.loadCredential();
        std::printf("loaded: %s\n", loaded ? "yes" : "no");
        keychain.deleteCredential();
        std::fprintf(stderr, "deleted\n");
    }
    const auto output = capture.finish();
    EXPECT_NE(output.find("loaded: yes"), std::string::npos) << "the capture saw nothing";
    EXPECT_EQ(output.find("S3cret"), std::string::npos);

    // Settings, caches and anything else written under the private home.
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        const char* dir = std::getenv(variable);
        if (!dir || !std::filesystem::exists(dir)) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(content.find("S3cret"), std::string::npos) << entry.path();
        }
    }
}

TEST(Locked, NothingIsReadOrWrittenWhileTheCollectionStaysLocked) {
    SecretServiceStore store;
    Keychain keychain(store);

    // Locked from the start: no prompt can open (no display), so nothing is read, and the
    // prompt is requested only once for reads.
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 1);
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 1);

    // Each save asks again, and is dropped when the collection stays locked.
    keychain.saveCredential("ada@example.org", "while-locked");
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 2);
    keychain.deleteCredential(); // so does a delete
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 3);
    ASSERT_TRUE(unlockCollection());
    EXPECT_EQ(itemsOnKeyring(), 0);

    // An item stored while unlocked stays as it was through a save attempted while locked.
    keychain.saveCredential("ada@example.org", "before");
    ASSERT_TRUE(lockCollection());
    const int asked = SecretServiceStore::unlockRequests();
    keychain.saveCredential("ada@example.org", "while-locked");
    EXPECT_EQ(SecretServiceStore::unlockRequests(), asked + 1);
    EXPECT_FALSE(keychain.loadCredential());
    EXPECT_EQ(SecretServiceStore::unlockRequests(), asked + 1);
    ASSERT_TRUE(unlockCollection());
    EXPECT_EQ(itemsOnKeyring(), 1);
    const auto loaded = keychain.loadCredential();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->password, "before");
}

// No Secret Service on the bus, no collection, no bus at all, or a bus address that leads nowhere.
TEST(Unavailable, EveryCallFailsAtOnceAndNothingIsStored) {
    const char* mode = std::getenv("PELTWICK_KEYRING_MODE");
    SCOPED_TRACE(mode ? mode : "(no mode)");
    SecretServiceStore store;
    Keychain keychain(store);
    std::optional<Credential> loaded;
    // A generous bound that only catches a call waiting for a service that is not there.
    EXPECT_LT(secondsFor([&] { loaded = keychain.loadCredential(); }), 2.0);
    EXPECT_FALSE(loaded);
    EXPECT_LT(secondsFor([&] { keychain.saveCredential("ada@example.org", "pw"); }), 2.0);
    EXPECT_LT(secondsFor([&] { keychain.deleteCredential(); }), 2.0);
    EXPECT_FALSE(keychain.loadCredential());

    std::string data;
    EXPECT_NE(store.copyMatching(data), SecItemStore::errSecSuccess);
    // Not "missing": a save must not go on to create an item somewhere else.
    EXPECT_NE(store.update("x"), SecItemStore::errSecItemNotFound);
    EXPECT_NE(store.add("x"), SecItemStore::errSecSuccess);
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 0);
}
