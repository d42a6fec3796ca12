// The credential logic against the keychain item in memory.
#include "core/Keychain.h"
#include "support/Fakes.h"

namespace {

// A read of an item holding `bytes`, every call answering `status`: "email|password", "none", "failed".
std::string read(const std::string& bytes, int status = SecItemStore::errSecSuccess) {
    MemoryKeychain store;
    store.data = bytes;
    if (status) store.failure = status;
    const CredentialRead read = Keychain(store).readCredential();
    EXPECT_EQ(read.answer == CredentialRead::Answer::stored, read.credential.has_value());
    if (read.answer == CredentialRead::Answer::failed) return "failed";
    return read.credential ? read.credential->email + "|" + read.credential->password : "none";
}

} // namespace

TEST(Keychain, SaveReplacesTheOneItemInPlaceAndAddsOnlyWhenItIsMissing) {
    MemoryKeychain store;
    Keychain keychain(store);
    const std::string email = "zo\xC3\xAB@example.org", password = "p\xC3\xA4ss w\xC3\xB6rd:\n2\t";
    EXPECT_TRUE(keychain.saveCredential(email, password));
    EXPECT_TRUE(keychain.saveCredential(email, "second"));
    // A failed update (a locked keychain) adds no second item and says the save failed.
    store.failure = SecItemStore::errSecInteractionNotAllowed;
    EXPECT_FALSE(keychain.saveCredential(email, "third"));
    EXPECT_EQ(store.calls, "update add update update ");
    EXPECT_EQ(store.data, email + "\nsecond");
}

TEST(Keychain, AReadTellsStoredNoneAndFailedApart) {
    for (int status : {SecItemStore::errSecItemNotFound, SecItemStore::errSecNotAvailable,
                       SecItemStore::errSecInteractionNotAllowed})
        EXPECT_EQ(read("ada@example.org\npw", status), "none") << status;
    for (int status : {SecItemStore::errSecIO, -1})
        EXPECT_EQ(read("ada@example.org\npw", status), "failed") << status;
    // Not UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate), or not two pieces: none.
    for (const char* bytes : {"ada@example.org\npw\xFF", "ada@example.org\npw\xC3", "ada@example.org\xC0\xAE\npw",
                              "ada@example.org\npw\xED\xA0\x80", "ada@example.org", "ada@example.org\n", "", "\n\n\n",
                              "\nada@example.org", "ada@example.org\r\npw"})
        EXPECT_EQ(read(bytes), "none") << testing::PrintToString(bytes);
}

TEST(Keychain, SplitsAtTheFirstLineFeedThatEndsANonEmptyPiece) {
    const std::pair<std::string, std::string> cases[] = {
        {"\n\nada@example.org\npw", "ada@example.org|pw"},             // leading line feeds dropped
        {"ada@example.org\n\npw", "ada@example.org|\npw"},             // the password keeps the second
        {"ada@example.org\npw\nmore\n", "ada@example.org|pw\nmore\n"}, //
        {"ada@example.org\r\n\npw", "ada@example.org\r\n|pw"},         // CR LF is one character, no separator
        {"ada\r@example.org\n\r", "ada\r@example.org|\r"},             // a lone CR is an ordinary character
        {"ada@example.org\n\xCC\x81pw", "ada@example.org|\xCC\x81pw"}, // a combining mark after the line feed
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(read(stored), expected) << testing::PrintToString(stored);
}
