// The credential logic against the keychain item in memory.
#include "core/Keychain.h"
#include "support/Fakes.h"

#include <gtest/gtest.h>

namespace {

// The credential read from an item holding these bytes, as "email|password", or "none".
std::string loaded(const std::string& bytes) {
    MemoryKeychain store;
    store.data = bytes;
    const auto credential = Keychain(store).loadCredential();
    return credential ? credential->email + "|" + credential->password : "none";
}

} // namespace

TEST(Keychain, SaveReplacesTheOneItemInPlaceAndAddsOnlyWhenItIsMissing) {
    MemoryKeychain store;
    Keychain keychain(store);
    const std::string email = "zo\xC3\xAB@example.org", password = "p\xC3\xA4ss w\xC3\xB6rd:\n2\t";
    EXPECT_TRUE(keychain.saveCredential(email, password));
    EXPECT_TRUE(keychain.saveCredential(email, "second"));
    EXPECT_EQ(store.calls, "update add update ");
    EXPECT_EQ(store.data, email + "\nsecond");
    // A failed update (a locked keychain) adds no second item and says the save failed.
    store.failure = SecItemStore::errSecInteractionNotAllowed;
    EXPECT_FALSE(keychain.saveCredential(email, "third"));
    store.failure.reset();
    EXPECT_EQ(store.data, email + "\nsecond");
    // Delete is harmless twice.
    keychain.deleteCredential();
    keychain.deleteCredential();
    EXPECT_FALSE(store.data);
}

TEST(Keychain, AReadTellsStoredNoneAndFailedApart) {
    using Answer = CredentialRead::Answer;
    const std::pair<int, Answer> cases[] = {
        {SecItemStore::errSecItemNotFound, Answer::none},
        {SecItemStore::errSecNotAvailable, Answer::none},
        {SecItemStore::errSecInteractionNotAllowed, Answer::none},
        {SecItemStore::errSecIO, Answer::failed},
        {-1, Answer::failed},
    };
    for (const auto& [status, answer] : cases) {
        MemoryKeychain store;
        store.data = "ada@example.org\nfrom-a-failed-read";
        store.failure = status;
        const CredentialRead read = Keychain(store).readCredential();
        EXPECT_EQ(read.answer, answer) << status;
        EXPECT_FALSE(read.credential) << status;
    }
    // Bytes that are not UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate) are none.
    for (const char* bytes : {"ada@example.org\npw\xFF", "ada@example.org\npw\xC3", "ada@example.org\xC0\xAE\npw",
                              "ada@example.org\npw\xED\xA0\x80"})
        EXPECT_EQ(loaded(bytes), "none") << testing::PrintToString(bytes);
}

TEST(Keychain, SplitsAtTheFirstLineFeedThatEndsANonEmptyPiece) {
    const std::pair<std::string, std::string> cases[] = {
        {"ada@example.org\ns3cret", "ada@example.org|s3cret"},
        {"ada@example.org", "none"},
        {"ada@example.org\n", "none"},
        {"", "none"},
        {"\n\n\n", "none"},
        {"\n\nada@example.org\npw", "ada@example.org|pw"},             // leading line feeds dropped
        {"\nada@example.org", "none"},                                 // one piece left
        {"ada@example.org\n\npw", "ada@example.org|\npw"},             // the password keeps the second
        {"ada@example.org\npw\nmore\n", "ada@example.org|pw\nmore\n"}, //
        {"ada@example.org\r\npw", "none"},                             // CR LF is one character, no separator
        {"ada@example.org\r\n\npw", "ada@example.org\r\n|pw"},         // the bare line feed separates
        {"ada\r@example.org\n\r", "ada\r@example.org|\r"},             // a lone CR is an ordinary character
        {"ada@example.org\n\xCC\x81pw", "ada@example.org|\xCC\x81pw"}, // a combining mark after the line feed
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(loaded(stored), expected) << testing::PrintToString(stored);
}
