// Whole passes against a real WebDAV server that tests/scripts/with-webdav.sh started; the notes
// are checked on the server's disk.
#include "core/ContactsImporter.h"
#include "support/WebDavServer.h"

#include <gtest/gtest.h>

#include <functional>

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

struct FakeStore : ContactStore {
    std::vector<Contact> people;
    std::function<void()> whileReading;
    bool requestAccess() override { return true; }
    std::vector<Contact> contacts() override {
        if (whileReading) whileReading();
        return people;
    }
};

const std::string adaNote = "---\nname: \"Ada King\"\ncompany: \"Analytical Engines Ltd\"\ntitle: \"Head of R&D\"\n"
                            "phone: \"+1 555 010 199\"\n---\n\n# Ada King\n";

struct RealServer : ::testing::Test {
    WebDavServer server;
    void SetUp() override {
        ASSERT_FALSE(server.url.empty()) << "run through tests/scripts/with-webdav.sh";
        ASSERT_TRUE(fs::is_directory(server.data));
    }
    ContactsImporter::Summary pass(ContactStore& store) {
        DAVClient client = server.client();
        return ContactsImporter::sync(client, store);
    }
};

void expectSummary(const ContactsImporter::Summary& summary, std::int64_t total, std::int64_t added) {
    EXPECT_EQ(summary.total, total);
    EXPECT_EQ(summary.added, added);
    EXPECT_EQ(summary.skipped, total - added);
}

} // namespace

TEST_F(RealServer, Credentials) {
    EXPECT_NO_THROW(server.client().verify());
    for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
             {server.user, "wrong"}, {server.user, "s3cret"}, {"eve@example.org", server.password}, {"", ""}}) {
        try {
            DAVClient(server.url, user, password).verify();
            ADD_FAILURE() << "accepted " << user << ":" << password;
        } catch (const DAVClient::DAVError& error) {
            EXPECT_EQ(error.kind(), DAVClient::DAVError::notAuthorised) << error.what();
        }
    }
    // A base URL with a path of its own still reaches /dav/ at the root.
    EXPECT_NO_THROW(DAVClient(server.url + "/some/where/?q=1", server.user, server.password).verify());
}

TEST_F(RealServer, PassesCreateNotesAndNeverOverwrite) {
    FakeStore store;
    store.people = {{" Ada ", "King", "Analytical Engines Ltd", "Head of R&D", {}, {"+1 555 010 199", "+1 555 999"}},
                    {"", "", "  Acme  ", "", {" info@acme.example ", "second@acme.example"}, {}},
                    {"ada", "king", "", "", {}, {}},
                    {" ", "", "", "", {}, {}},
                    {"Grace", "Hopper", "", "", {}, {}},
                    {"Émile", "O'Brien", "", "Say \"hi\" \\o/", {}, {}}};
    // Someone else writes grace-hopper.md after the listing and before the upload.
    store.whileReading = [&] { server.put("grace-hopper.md", "made elsewhere\n"); };
    expectSummary(pass(store), 6, 3);
    Files expected{
        {"ada-king.md", adaNote},
        {"acme.md", "---\nname: \"Acme\"\ncompany: \"Acme\"\nemail: \"info@acme.example\"\n---\n\n# Acme\n"},
        {"grace-hopper.md", "made elsewhere\n"},
        {"mile-o-brien.md", "---\nname: \"Émile O'Brien\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\n---\n\n# Émile O'Brien\n"},
    };
    EXPECT_EQ(server.files(), expected);

    // The user edits a note, and the card changes: the next pass adds nothing and keeps the edit.
    expected["ada-king.md"] = adaNote + "\nMet at the 1843 lecture.\n";
    server.put("ada-king.md", expected["ada-king.md"]);
    store.whileReading = nullptr;
    store.people[0].emailAddresses = {"ada@example.org"};
    expectSummary(pass(store), 6, 0);
    EXPECT_EQ(server.files(), expected);

    // A note deleted from the vault comes back; the others stay as they are.
    fs::remove(server.contacts() / "acme.md");
    expectSummary(pass(store), 6, 1);
    EXPECT_EQ(server.files(), expected);

    // Straight uploads: the server refuses to replace what exists.
    EXPECT_FALSE(server.client().createFile("ada-king.md", "replaced?\n"));
    EXPECT_EQ(server.files(), expected);
}

TEST_F(RealServer, ListingDecodesTheServersEscapes) {
    DAVClient dav = server.client();
    const auto before = dav.listContactFiles(); // the collection exists from the test before, or is made now
    const std::string zoe = "Zoë Smith #1.md";
    EXPECT_TRUE(dav.createFile(zoe, "Zoë\n"));
    EXPECT_FALSE(dav.createFile(zoe, "again\n"));
    for (const char* name : {"b c.md", "e.txt", "upper.MD", "100% [sure].md"})
        server.put(name, "x\n");
    fs::create_directory(server.contacts() / "folder.md");

    auto names = dav.listContactFiles();
    for (const auto& name : before)
        names.erase(name);
    EXPECT_EQ(names, (std::set<std::string>{zoe, "b c.md", "100% [sure].md", "folder.md"}));
    EXPECT_EQ(server.files()[zoe], "Zoë\n");
}
