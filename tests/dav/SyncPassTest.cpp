// The sync pass against the vault in memory: the requests it makes, in order, and what it counts.
#include "core/ContactsImporter.h"
#include "support/Fakes.h"

namespace {

struct SyncPass : ::testing::Test {
    MemoryVault vault;
    MemoryContactStore book;

    // One pass: its counts or its error, then each request it made.
    std::string pass() {
        vault.server.clearRequests();
        std::string out;
        try {
            DAVClient client(vault.server.url(), "ada@example.org", "pw");
            const auto summary = ContactsImporter::sync(client, book);
            out = std::to_string(summary.added) + " added, " + std::to_string(summary.skipped) + " skipped";
        } catch (const std::exception& error) {
            out = error.what();
        }
        for (const auto& request : vault.server.requests())
            out += "; " + request.method + " " + request.target;
        return out;
    }
};

} // namespace

// The first contact to claim a file name gets it; later ones, and names already listed, make no
// request; a name taken since the listing is skipped too. The missing collection is made first (the next test).
TEST_F(SyncPass, TheFirstClaimantOfANameWinsAndListedNamesAreSkipped) {
    vault.put("grace-hopper.md", "edited by hand\n");
    vault.failUpload(2, MemoryVault::Fault::status, 412); // a name taken since the listing: skipped
    book.people = {person("Ada", "King"), person("ada", "king"), person(" "),
                   person("阿"),          person("德"),          person("Grace", "Hopper")};
    EXPECT_EQ(pass(), "1 added, 5 skipped; PROPFIND /dav/contacts/; PUT /dav/contacts/ada-king.md; "
                      "PUT /dav/contacts/person.md");
}

// An error ends the pass: a failed listing before the address book is read; a failed upload before
// the next contact, which the next pass adds.
TEST_F(SyncPass, AnErrorEndsThePassAndTheNextAddsTheRest) {
    book.people = {person("A"), person("B"), person("C")};
    vault.server.enqueue(ScriptedHttpServer::Reply::status(500));
    EXPECT_EQ(pass(), "Server error 500: ; PROPFIND /dav/contacts/");
    EXPECT_EQ(book.reads, 0);
    vault.failUpload(2, MemoryVault::Fault::status, 507);
    EXPECT_EQ(pass(), "Server error 507: ; PROPFIND /dav/contacts/; MKCOL /dav/contacts/; PUT /dav/contacts/a.md; "
                      "PUT /dav/contacts/b.md");
    vault.failUpload(0, MemoryVault::Fault::none);
    EXPECT_EQ(pass(), "2 added, 1 skipped; PROPFIND /dav/contacts/; PUT /dav/contacts/b.md; PUT /dav/contacts/c.md");
}
