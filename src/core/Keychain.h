#pragma once

#include <optional>
#include <string>

// The four operations on the one keychain item that holds the credential. Results follow the
// system keychain's status codes: 0 success, -25300 no such item, anything else a failure.
class SecItemStore {
public:
    static constexpr int errSecSuccess = 0;
    static constexpr int errSecItemNotFound = -25300;
    static constexpr int errSecNotAvailable = -25291;          // no keychain service, or no keychain in it
    static constexpr int errSecInteractionNotAllowed = -25308; // the keychain is locked and stays locked
    static constexpr int errSecIO = -36;                       // the service failed the call, or did not answer

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

// What one read of the keychain found.
struct CredentialRead {
    enum class Answer {
        stored, // a credential is stored: `credential` holds it
        none,   // the keychain says there is none: no item, a damaged one, no keychain at all, or
                // one that stays locked
        failed, // the keychain failed or did not answer in time; it may still hold one
    };
    Answer answer = Answer::failed;
    std::optional<Credential> credential;
};

// Keeps the e-mail address and app password as one keychain item: the address, a line feed,
// the password. Holds nothing in memory. The keychain's calls may block (an unlock prompt, a slow
// service), so the program makes them off the main thread.
class Keychain {
public:
    explicit Keychain(SecItemStore& items) : items_(items) {}

    // True when the credential is now stored.
    bool saveCredential(const std::string& email, const std::string& password);
    CredentialRead readCredential();
    // The stored credential; every failure to read counts as none.
    std::optional<Credential> loadCredential() { return readCredential().credential; }
    void deleteCredential();

private:
    SecItemStore& items_;
};
