// The credential logic against an in-memory keychain item.
#include "core/Keychain.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

// One item in memory with the system keychain's results; the calls are recorded and statuses can be forced.
struct MemoryItemStore : SecItemStore {
    int update(const std::string& data) override {
        calls += "update ";
        if (updateStatus) return *updateStatus;
        return item ? (item = data, errSecSuccess) : errSecItemNotFound;
    }
    int add(const std::string& data) override {
        calls += "add ";
        item = data;
        return addStatus;
    }
    int copyMatching(std::string& data) override {
        calls += "copyMatching ";
        data = copyStatus ? "ada@example.org\nfrom-a-failed-read" : item.value_or("");
        return copyStatus ? *copyStatus : item ? errSecSuccess : errSecItemNotFound;
    }
    int remove() override {
        calls += "remove ";
        return std::exchange(item, std::nullopt) ? errSecSuccess : errSecItemNotFound;
    }
    std::optional<std::string> item;
    std::string calls;
    std::optional<int> updateStatus, copyStatus;
    int addStatus = errSecSuccess;
};

// The credential read from an item holding these bytes, as "email|password", or "none".
std::string loaded(const std::string& bytes) {
    MemoryItemStore store;
    store.item = bytes;
    const auto credential = Keychain(store).loadCredential();
    return credential ? credential->email + "|" + credential->password : "none";
}

} // namespace

TEST(Keychain, SaveReplacesTheOneItemInPlaceAndAddsOnlyWhenItIsMissing) {
    MemoryItemStore store;
    Keychain keychain(store);
    const std::string email = "zo\xC3\xAB@example.org", password = "p\xC3\xA4ss w\xC3\xB6rd:\n2\t";
    keychain.saveCredential(email, password);
    EXPECT_EQ(store.calls, "update add ");
    EXPECT_EQ(store.item, email + "\n" + password);
    const auto credential = keychain.loadCredential();
    ASSERT_TRUE(credential);
    EXPECT_EQ(credential->email + "|" + credential->password, email + "|" + password);

    store.calls.clear();
    keychain.saveCredential("ada@example.org", "second");
    EXPECT_EQ(store.calls, "update ");
    EXPECT_EQ(store.item, "ada@example.org\nsecond");
    // A failed update (a locked keychain, refused access) must not add a second item.
    store.calls.clear();
    store.updateStatus = -25308;
    keychain.saveCredential("ada@example.org", "third");
    EXPECT_EQ(store.calls, "update ");
    EXPECT_EQ(store.item, "ada@example.org\nsecond");

    // Delete is harmless twice; saving afterwards creates the item anew.
    store.updateStatus.reset();
    store.calls.clear();
    keychain.deleteCredential();
    keychain.deleteCredential();
    EXPECT_FALSE(keychain.loadCredential());
    keychain.saveCredential("ada@example.org", "again");
    EXPECT_EQ(store.calls, "remove remove copyMatching update add ");
    EXPECT_EQ(store.item, "ada@example.org\nagain");
}

TEST(Keychain, EveryFailedReadIsNoCredential) {
    // Data handed back together with a failure status is not trusted.
    for (const int status : {-25300, -25308, -25293, 1, -1}) {
        MemoryItemStore failing;
        failing.copyStatus = status;
        EXPECT_FALSE(Keychain(failing).loadCredential()) << status;
    }
    // Bytes that are not UTF-8: a stray byte, a cut sequence, an overlong form, a surrogate.
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
        {"ada@example.org\n\n", "ada@example.org|\n"},                 //
        {"ada@example.org\npw\nmore\n", "ada@example.org|pw\nmore\n"}, //
        {"ada@example.org\r\npw", "none"},                             // CR LF is one character, no separator
        {"ada@example.org\r\n\npw", "ada@example.org\r\n|pw"},         // the bare line feed separates
        {"ada@example.org\npw\r\nx", "ada@example.org|pw\r\nx"},       //
        {"ada\r@example.org\n\r", "ada\r@example.org|\r"},             // a lone CR is an ordinary character
        {"ada@example.org\n\xCC\x81pw", "ada@example.org|\xCC\x81pw"}, // a combining mark after the line feed
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(loaded(stored), expected) << testing::PrintToString(stored);
}
