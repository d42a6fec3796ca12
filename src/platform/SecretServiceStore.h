#pragma once

#include "core/Keychain.h"

#include <string>

// The credential item in the desktop's keyring, reached through the Secret Service (libsecret):
// one item in the default collection, found by the attributes `service` and `account`. Every call
// is synchronous on the calling thread (a worker: it may wait for an unlock prompt) and runs no
// event loop of the caller. Without a session bus, without a Secret Service or without a default
// collection, each call fails at once (errSecNotAvailable); a service that does not answer within
// callTimeoutMs fails the call with errSecIO.
// This header pulls in no GLib, so Qt code may include it freely.
class SecretServiceStore : public SecItemStore {
public:
    // The program's reverse-DNS identifier, the item's `service` attribute.
    static constexpr const char* serviceIdentifier = "app.peltwick.importer";
    static constexpr const char* account = "webdav-credential";
    static constexpr const char* label = "Peltwick Importer credential";

    // The longest this store waits for one answer of the keyring service; an unlock prompt the
    // user has in front of them is waited for as long as it is open.
    static constexpr int callTimeoutMs = 5000;

    int update(const std::string& data) override;
    int add(const std::string& data) override;
    int copyMatching(std::string& data) override;
    int remove() override;

    // How often this process has asked the keyring to unlock its default collection.
    static int unlockRequests();
};
