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
    return {std::move(given), std::move(family), {}, {}, {}, {}};
}

// The keychain item in memory. `failure` is what every call answers instead, when set; `calls` records
// the calls. With `workerOnly`, a call from the test's (main) thread fails the test.
struct MemoryKeychain : SecItemStore {
    int update(const std::string& value) override {
        return failed("update ") ? *failure : data ? (data = value, errSecSuccess) : errSecItemNotFound;
    }
    int add(const std::string& value) override { return failed("add ") ? *failure : (data = value, errSecSuccess); }
    int copyMatching(std::string& value) override {
        return failed("copyMatching ") ? *failure : data ? (value = *data, errSecSuccess) : errSecItemNotFound;
    }
    int remove() override {
        return failed("remove ") ? *failure : std::exchange(data, std::nullopt) ? errSecSuccess : errSecItemNotFound;
    }
    bool failed(const char* call) {
        if (workerOnly && std::this_thread::get_id() == testThread) ADD_FAILURE() << "keyring used on the main thread";
        calls += call;
        return failure.has_value();
    }
    std::optional<std::string> data;
    std::optional<int> failure;
    std::string calls;
    bool workerOnly = false;
    std::thread::id testThread = std::this_thread::get_id();
};

// An address book whose answers the test sets.
struct MemoryContactStore : ContactStore {
    bool requestAccess() override { return ++accessRequests, granted; }
    std::vector<Contact> contacts() override {
        if (++reads, readFails) throw std::runtime_error("No address book was found in /nonexistent/contacts.");
        return people;
    }
    std::vector<Contact> people;
    bool granted = true, readFails = false;
    std::atomic<int> reads{0}, accessRequests{0};
};

// A WebDAV vault in memory on a loopback server that takes any account: the contacts collection made
// by MKCOL, and uploads that only create, as a real server does with If-None-Match: *. failUpload()
// makes the nth upload from then on fail: a status, or no answer.
struct MemoryVault {
    enum class Fault { none, status, hangsUp };
    using Reply = ScriptedHttpServer::Reply;

    void put(const std::string& name, const std::string& content) {
        std::lock_guard lock(mutex_);
        collection_ = true, files_[name] = content;
    }
    void failUpload(int nth, Fault fault, int status = 500) {
        std::lock_guard lock(mutex_);
        fault_ = fault, faultAt_ = nth, faultStatus_ = status, uploads_ = 0;
    }

private:
    Reply answer(const ScriptedHttpServer::Request& request) {
        std::lock_guard lock(mutex_);
        const std::string contacts = "/dav/contacts/";
        if (request.method == "PROPFIND" && request.target == contacts && !collection_) return Reply::status(404);
        if (request.method == "PROPFIND") { // of the vault or its contacts
            std::string xml = "<multistatus xmlns='DAV:'>";
            for (const auto& file : files_)
                xml += "<href>" + contacts + file.first + "</href>";
            return Reply::status(207, xml + "</multistatus>");
        }
        if (request.method == "MKCOL" && request.target == contacts)
            return Reply::status(std::exchange(collection_, true) ? 405 : 201);
        if (request.method != "PUT" || !request.target.starts_with(contacts)) return Reply::status(405);
        if (++uploads_ == faultAt_ && fault_ != Fault::none)
            return fault_ == Fault::status ? Reply::status(faultStatus_) : Reply::raw({});
        if (!collection_) return Reply::status(409);
        return Reply::status(files_.emplace(request.target.substr(contacts.size()), request.body).second ? 201 : 412);
    }

    std::mutex mutex_;
    std::map<std::string, std::string> files_;
    bool collection_ = false;
    Fault fault_ = Fault::none;
    int uploads_ = 0, faultAt_ = 0, faultStatus_ = 500;

public:
    // Last: started once the vault's state exists, and stopped first.
    ScriptedHttpServer server{[this](const ScriptedHttpServer::Request& request) { return answer(request); }};
};
