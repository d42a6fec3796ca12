#pragma once

// The stand-ins shared by the tests: a keychain item in memory, an address book in memory, and a
// WebDAV vault in memory behind a loopback server.

#include "core/Contact.h"
#include "core/DAVClient.h"
#include "core/Keychain.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <utility>

inline void PrintTo(const Contact& c, std::ostream* out) {
    *out << "{" << c.givenName << "|" << c.familyName << "|" << c.organizationName << "|" << c.jobTitle << "|";
    for (const auto& e : c.emailAddresses)
        *out << e << ";";
    *out << "|";
    for (const auto& p : c.phoneNumbers)
        *out << p << ";";
    *out << "}";
}

inline Contact person(std::string given, std::string family = {}) {
    Contact contact;
    contact.givenName = std::move(given);
    contact.familyName = std::move(family);
    return contact;
}

// The keychain item in memory, with the keychain's status codes. `failure` is what every call
// answers instead, when set; `calls` records the calls. With `workerOnly`, a call from the test's
// own thread (the main thread) fails the test: the program never waits for the keyring there.
struct MemoryKeychain : SecItemStore {
    int update(const std::string& value) override {
        note("update ");
        if (failure) return *failure;
        return data ? (data = value, errSecSuccess) : errSecItemNotFound;
    }
    int add(const std::string& value) override {
        note("add ");
        if (failure) return *failure;
        data = value;
        return errSecSuccess;
    }
    int copyMatching(std::string& value) override {
        note("copyMatching ");
        if (failure) return *failure;
        value = data.value_or("");
        return data ? errSecSuccess : errSecItemNotFound;
    }
    int remove() override {
        note("remove ");
        if (failure) return *failure;
        return std::exchange(data, std::nullopt) ? errSecSuccess : errSecItemNotFound;
    }
    void note(const char* call) {
        if (workerOnly && std::this_thread::get_id() == testThread) ADD_FAILURE() << "keyring used on the main thread";
        calls += call;
    }
    std::optional<std::string> data;
    std::optional<int> failure;
    std::string calls;
    bool workerOnly = false;
    std::thread::id testThread = std::this_thread::get_id();
};

// An address book whose answers the test sets.
struct MemoryContactStore : ContactStore {
    bool requestAccess() override {
        ++accessRequests;
        return granted;
    }
    std::vector<Contact> contacts() override {
        ++reads;
        if (readFails) throw std::runtime_error("No address book was found in /nonexistent/contacts.");
        return people;
    }
    std::vector<Contact> people;
    bool granted = true, readFails = false;
    std::atomic<int> reads{0}, accessRequests{0};
};

// A WebDAV vault in memory on a loopback server: one account (any, when `authorization` is empty),
// the contacts collection made by MKCOL, and uploads that only create, as a real server does with
// If-None-Match: *. failUpload() makes the nth upload from then on fail: a status, a stall, a
// connection closed without an answer, or the server gone for good.
struct MemoryVault {
    enum class Fault { none, status, stalls, hangsUp, goesAway };

    explicit MemoryVault(std::string authorization = {}) : authorization_(std::move(authorization)) {
        server.setHandler([this](const ScriptedHttpServer::Request& request) { return answer(request); });
    }
    std::map<std::string, std::string> files() {
        std::lock_guard lock(mutex_);
        return files_;
    }
    void put(const std::string& name, const std::string& content) {
        std::lock_guard lock(mutex_);
        collection_ = true;
        files_[name] = content;
    }
    void failUpload(int nth, Fault fault, int status = 500) {
        std::lock_guard lock(mutex_);
        fault_ = fault, faultAt_ = nth, faultStatus_ = status, uploads_ = 0, gone_ = false;
    }
    bool hasCollection() {
        std::lock_guard lock(mutex_);
        return collection_;
    }

    ScriptedHttpServer::Reply answer(const ScriptedHttpServer::Request& request) {
        using Reply = ScriptedHttpServer::Reply;
        std::lock_guard lock(mutex_);
        const std::string contacts = "/dav/contacts/";
        if (gone_) return Reply::raw({});
        if (!authorization_.empty() && request.header("Authorization") != authorization_) return Reply::status(401);
        if (request.method == "PROPFIND" && request.target == "/dav/") return Reply::multistatus(listing("/dav/"));
        if (request.method == "PROPFIND" && request.target == contacts)
            return collection_ ? Reply::multistatus(listing(contacts)) : Reply::status(404);
        if (request.method == "MKCOL" && request.target == contacts)
            return Reply::status(std::exchange(collection_, true) ? 405 : 201);
        if (request.method != "PUT" || !request.target.starts_with(contacts)) return Reply::status(405);
        if (++uploads_ == faultAt_ && fault_ != Fault::none) {
            gone_ = fault_ == Fault::goesAway;
            return fault_ == Fault::status   ? Reply::status(faultStatus_)
                   : fault_ == Fault::stalls ? Reply::stall()
                                             : Reply::raw({});
        }
        if (!collection_) return Reply::status(409);
        return files_.emplace(request.target.substr(contacts.size()), request.body).second ? Reply::status(201)
                                                                                           : Reply::status(412);
    }

private:
    std::string listing(const std::string& collection) const {
        std::string xml = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>" + collection +
                          "</D:href></D:response>";
        for (const auto& file : files_)
            if (collection != "/dav/")
                xml += "<D:response><D:href>" + collection + file.first + "</D:href></D:response>";
        return xml + "</D:multistatus>";
    }

    std::mutex mutex_;
    std::string authorization_;
    std::map<std::string, std::string> files_;
    bool collection_ = false, gone_ = false;
    Fault fault_ = Fault::none;
    int uploads_ = 0, faultAt_ = 0, faultStatus_ = 500;

public:
    ScriptedHttpServer server; // last: stopped first, while the vault's state still exists
};
