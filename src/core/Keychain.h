#pragma once

#include <optional>
#include <string>

// The four operations on the one keychain item that holds the credential. Results follow the
// system keychain's status codes: 0 success, -25300 no such item, anything else a failure.
class SecItemStore {
public:
    static constexpr int errSecSuccess = 0;
    static constexpr int errSecItemNotFound = -25300;

    virtual ~SecItemStore() = default;
    virtual int update(const std::string& data) = 0; // replace the item's data; errSecItemNotFound when absent
    virtual int add(const std::string& data) = 0;    // create the item
    virtual int copyMatching(std::string& data) = 0; // read the item's data
    virtual int remove() = 0;                        // delete the item
};

struct Credential {
    std::string email;
    std::string password;
};

// Keeps the e-mail address and app password as one keychain item: the address, a line feed,
// the password. Holds nothing in memory; no operation reports an error, and every failure
// to read counts as "no credential".
class Keychain {
public:
    explicit Keychain(SecItemStore& items) : items_(items) {}

    void saveCredential(const std::string& email, const std::string& password);
    std::optional<Credential> loadCredential();
    void deleteCredential();

private:
    void save(const std::string& text);
    std::optional<std::string> load();

    SecItemStore& items_;
};
