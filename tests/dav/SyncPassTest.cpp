// The sync pass against a scripted vault: which requests it makes, in which order, and how it
// counts what the server answers.
#include "core/ContactsImporter.h"
#include "core/DAVClient.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>

namespace {

using Reply = ScriptedHttpServer::Reply;
using Request = ScriptedHttpServer::Request;
using Lines = std::vector<std::string>;

// A WebDAV collection held in memory that honours If-None-Match: * like a real server.
struct Vault {
    std::mutex mutex;
    bool collection = false;
    std::map<std::string, std::string> files; // name as on the wire (encoded) -> content
    std::map<std::string, int> failPut;       // file name -> status its upload gets

    Reply answer(const Request& request) {
        std::lock_guard lock(mutex);
        const std::string prefix = "/dav/contacts/";
        if (request.method == "PROPFIND" && request.target == prefix) {
            if (!collection) return Reply::status(404);
            std::string xml =
                "<D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>" + prefix + "</D:href></D:response>";
            for (const auto& file : files)
                xml += "<D:response><D:href>" + prefix + file.first + "</D:href></D:response>";
            return Reply::multistatus(xml + "</D:multistatus>");
        }
        if (request.method == "MKCOL" && request.target == prefix)
            return Reply::status(std::exchange(collection, true) ? 405 : 201);
        if (request.method != "PUT" || !request.target.starts_with(prefix)) return Reply::status(405);
        const std::string name = request.target.substr(prefix.size());
        if (const auto fail = failPut.find(name); fail != failPut.end()) return Reply::status(fail->second);
        if (!collection) return Reply::status(409);
        if (files.count(name)) return Reply::status(412);
        files[name] = request.body;
        return Reply::status(201);
    }
};

struct FakeStore : ContactStore {
    std::vector<Contact> people;
    int reads = 0;
    bool fails = false;

    bool requestAccess() override { return true; }
    std::vector<Contact> contacts() override {
        ++reads;
        if (fails) throw std::runtime_error("address book unavailable");
        return people;
    }
};

Contact person(std::string given, std::string family = {}) {
    return Contact{std::move(given), std::move(family), {}, {}, {}, {}};
}

struct SyncPass : ::testing::Test {
    Vault vault;
    ScriptedHttpServer server{[this](const Request& request) { return vault.answer(request); }};
    FakeStore store;

    ContactsImporter::Summary pass() {
        DAVClient client(server.url(), "ada@example.org", "s3cret:pw");
        return ContactsImporter::sync(client, store);
    }
    // Runs a pass and checks its counts (what is not added is skipped).
    void expectPass(std::int64_t total, std::int64_t added) {
        const auto summary = pass();
        EXPECT_EQ(summary.total, total);
        EXPECT_EQ(summary.added, added);
        EXPECT_EQ(summary.skipped, total - added);
    }
    std::optional<DAVClient::DAVError> failedPass() {
        try {
            pass();
        } catch (const DAVClient::DAVError& error) {
            return error;
        }
        return std::nullopt;
    }
    Lines sent() const {
        Lines lines;
        for (const auto& request : server.requests())
            lines.push_back(request.method + " " + request.target);
        return lines;
    }
};

} // namespace

TEST_F(SyncPass, EmptyAddressBookStillListsAndMakesTheCollection) {
    expectPass(0, 0);
    EXPECT_EQ(sent(), (Lines{"PROPFIND /dav/contacts/", "MKCOL /dav/contacts/"}));
    EXPECT_EQ(store.reads, 1);
}

TEST_F(SyncPass, FirstClaimOfAFileNameWinsWithoutFurtherRequests) {
    Contact ada = person("Ada", "King");
    ada.jobTitle = "Countess";
    // The first four all map to ada-king.md and the two names without ASCII letters to person.md:
    // only the first claimant of each is sent; the blank card has no name at all.
    store.people = {ada,          person("ada", "king"), person("Ada ", " King"), person("Ada  King"), person(" ", " "),
                    person("阿"), person("德")};
    expectPass(7, 2);
    EXPECT_EQ(sent(), (Lines{"PROPFIND /dav/contacts/", "MKCOL /dav/contacts/", "PUT /dav/contacts/ada-king.md",
                             "PUT /dav/contacts/person.md"}));
    EXPECT_EQ(vault.files["ada-king.md"], "---\nname: \"Ada King\"\ntitle: \"Countess\"\n---\n\n# Ada King\n");
}

TEST_F(SyncPass, ListedNamesAreSkippedWithoutARequest) {
    vault.collection = true;
    vault.files = {{"ada-king.md", "edited by hand\n"}, {"Grace-Hopper.md", "other case\n"}};
    store.people = {{"Ada", "King", "Analytical Engines", "", {"ada@example.org"}, {}}, person("Grace", "Hopper")};
    expectPass(2, 1);
    EXPECT_EQ(sent(), (Lines{"PROPFIND /dav/contacts/", "PUT /dav/contacts/grace-hopper.md"}));
    EXPECT_EQ(vault.files["ada-king.md"], "edited by hand\n");
    // A second pass finds everything and sends nothing but the listing.
    server.clearRequests();
    expectPass(2, 0);
    EXPECT_EQ(sent(), Lines{"PROPFIND /dav/contacts/"});
}

TEST_F(SyncPass, AnUploadErrorEndsThePass) {
    vault.collection = true;
    vault.failPut["b.md"] = 507;
    store.people = {person("A"), person("B"), person("C")};
    const auto error = failedPass();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), DAVClient::DAVError::http);
    EXPECT_EQ(error->status(), 507);
    EXPECT_EQ(sent(), (Lines{"PROPFIND /dav/contacts/", "PUT /dav/contacts/a.md", "PUT /dav/contacts/b.md"}));
    // The note made before the error stays and is skipped next time.
    vault.failPut.clear();
    expectPass(3, 2);
    // A refused credential on an upload ends the pass just the same.
    vault.failPut["d.md"] = 401;
    store.people.push_back(person("D"));
    store.people.push_back(person("E"));
    EXPECT_THROW(pass(), DAVClient::DAVError);
    EXPECT_EQ(vault.files.count("e.md"), 0u);
}

TEST_F(SyncPass, AFailedListingLeavesTheAddressBookUnread) {
    store.people = {person("Ada", "King")};
    server.enqueue(Reply::status(401));
    EXPECT_EQ(failedPass().value().kind(), DAVClient::DAVError::notAuthorised);
    server.enqueue(Reply::status(500));
    EXPECT_EQ(failedPass().value().kind(), DAVClient::DAVError::http);
    server.enqueue(Reply::raw("not http\r\n\r\n"));
    EXPECT_THROW(pass(), DAVClient::DAVError);
    server.enqueue(Reply::cutShort(207, "<m>", 100));
    EXPECT_THROW(pass(), DAVClient::TransportError);
    EXPECT_EQ(store.reads, 0);
    // The store's own failure comes after the listing and stops every upload.
    store.fails = true;
    EXPECT_THROW(pass(), std::runtime_error);
    EXPECT_EQ(store.reads, 1);
    EXPECT_TRUE(vault.collection); // the listing made the collection before the store failed
    EXPECT_TRUE(vault.files.empty());
}
