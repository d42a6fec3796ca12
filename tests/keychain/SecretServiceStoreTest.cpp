// The keyring store against a real gnome-keyring-daemon, in the states with-keyring.sh sets up.
#include "platform/SecretServiceStore.h"
#include "core/Keychain.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Answer = CredentialRead::Answer;
const std::string mode = std::getenv("PELTWICK_KEYRING_MODE") ? std::getenv("PELTWICK_KEYRING_MODE") : "";
const std::string ours = " service app.peltwick.importer account webdav-credential";

// A shell command's standard output, byte for byte (empty when it failed).
std::string run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    return pipe && ::pclose(pipe) == 0 ? out : "";
}

// How many of our items the keyring holds, locked or not.
std::string items() {
    return run("secret-tool search --all" + ours + " 2>&1 | grep -cx 'label = Peltwick Importer credential' || true");
}

struct Keyring : ::testing::Test {
    SecretServiceStore store;
    Keychain keychain{store};
};

TEST_F(Keyring, SavedLoadedReplacedAndDeletedAsOneItemByteForByte) {
    if (mode != "unlocked") GTEST_SKIP();
    const std::string email = "zo\xC3\xAB@example.org", password = "p\xC3\xA4ss\nw\xC3\xB6rd";
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
    ASSERT_TRUE(keychain.saveCredential(email, password));
    EXPECT_EQ(run("secret-tool lookup" + ours), email + "\n" + password);
    ASSERT_TRUE(keychain.saveCredential("ada@example.org", "second"));
    EXPECT_EQ(run("secret-tool lookup" + ours), "ada@example.org\nsecond");
    EXPECT_EQ(items(), "1\n");
    keychain.deleteCredential();
    EXPECT_EQ(items(), "0\n");

    // What another program stored comes back unchanged, a NUL and a bare CR included; bytes that
    // are not UTF-8 read as no credential; an item in another collection is not ours.
    std::string data;
    run("printf 'ada@example.org\\n\\r\\000\\303\\251\\177' | secret-tool store --label=other" + ours);
    ASSERT_EQ(store.copyMatching(data), SecItemStore::errSecSuccess);
    EXPECT_EQ(data, std::string("ada@example.org\n\r\0\xC3\xA9\x7F", 21));
    run("printf 'ada@example.org\\npw\\377' | secret-tool store --label=other" + ours);
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
    keychain.deleteCredential();
    run("printf 'ada@example.org\\npw' | secret-tool store --collection=session --label=other" + ours);
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
}

// No prompt can open without a display: reads ask to unlock once in the process, saves and deletes each time.
TEST_F(Keyring, NothingIsReadOrWrittenWhileTheCollectionStaysLocked) {
    if (mode != "locked") GTEST_SKIP();
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 1);
    EXPECT_FALSE(keychain.saveCredential("ada@example.org", "while-locked"));
    keychain.deleteCredential();
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 3);
    EXPECT_EQ(items(), "0\n");
}

// No Secret Service on the bus, no collection, no bus, or a bus address that leads nowhere.
TEST_F(Keyring, WithoutAKeyringEveryCallFailsAtOnce) {
    if (mode == "unlocked" || mode == "locked") GTEST_SKIP();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(keychain.readCredential().answer, Answer::none);
    EXPECT_FALSE(keychain.saveCredential("ada@example.org", "pw"));
    keychain.deleteCredential();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);        // not waiting for a service that is not there
    EXPECT_NE(store.update("x"), SecItemStore::errSecItemNotFound); // which would go on to create one elsewhere
    EXPECT_EQ(SecretServiceStore::unlockRequests(), 0);
}
