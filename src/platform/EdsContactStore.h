#pragma once

#include "core/ContactsImporter.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// GNOME's address book: every enabled address book of Evolution Data Server (EDS) on the
// session bus. All calls are synchronous and need no main loop, so the store runs on the
// worker thread like the rest of the pass.
class EdsContactStore : public ContactStore {
public:
    // What one read found.
    struct Reading {
        std::vector<Contact> contacts;     // books by source UID, each book's contacts by contact UID
        std::size_t booksListed = 0;       // enabled address books the registry named
        std::size_t booksRead = 0;         // books that answered
        std::vector<std::string> failures; // one message for each book (or the registry) that failed
    };

    static constexpr std::chrono::milliseconds defaultBookTimeout{30000};

    // bookTimeout bounds the time spent on one address book (connecting and reading).
    explicit EdsContactStore(std::chrono::milliseconds bookTimeout = defaultBookTimeout);

    bool requestAccess() override;
    // Every contact; throws when something failed and nothing could be read.
    std::vector<Contact> contacts() override;
    // Every contact, with what was listed and what failed. No session bus, or a bus without EDS,
    // gives an empty reading without error.
    Reading read();

private:
    std::chrono::milliseconds bookTimeout_;
};

// The entry of the address-book module (peltwick-eds.so), which AddressBook loads on the first
// pass: a read with the given bound on each book.
extern "C" void peltwick_read_eds(long long bookTimeoutMs, EdsContactStore::Reading* reading);
