// Whole passes against a real WebDAV server that tests/scripts/with-webdav.sh started; the notes
// are checked on the server's disk.
#include "ContactsImporter.h"
#include "DAVClient.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Server {
    std::string kind = env("PELTWICK_DAV_SERVER");
    std::string url = env("PELTWICK_DAV_URL");
    fs::path data = env("PELTWICK_DAV_DATA");
    std::string user = env("PELTWICK_DAV_USER");
    std::string password = env("PELTWICK_DAV_PASSWORD");
    std::string owner = env("PELTWICK_DAV_OWNER");

    fs::path contacts() const { return data / "contacts"; }

    // Writes a file as if someone else had put it into the vault, owned like the server's own.
    void put(const std::string& name, const std::string& content) const {
        const fs::path path = contacts() / name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        const auto colon = owner.find(':');
        const passwd* u = ::getpwnam(owner.substr(0, colon).c_str());
        const group* g = ::getgrnam(owner.substr(colon + 1).c_str());
        ASSERT_TRUE(u && g) << owner;
        ASSERT_EQ(::chown(path.c_str(), u->pw_uid, g->gr_gid), 0) << path;
    }

    Files files() const {
        Files all;
        for (const auto& entry : fs::directory_iterator(contacts())) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            all[entry.path().filename().string()] = entry.is_directory() ? "<folder>" : content.str();
        }
        return all;
    }
};

struct FakeStore : ContactStore {
    std::vector<Contact> people;
    std::function<void()> whileReading;
    bool requestAccess() override { return true; }
    std::vector<Contact> contacts() override {
        if (whileReading) whileReading();
        return people;
    }
};

Contact person(std::string given, std::string family = {}, std::string company = {}, std::string title = {}) {
    Contact contact;
    contact.givenName = std::move(given);
    contact.familyName = std::move(family);
    contact.organizationName = std::move(company);
    contact.jobTitle = std::move(title);
    return contact;
}

const std::string adaNote = "---\n"
                            "name: \"Ada King\"\n"
                            "company: \"Analytical Engines Ltd\"\n"
                            "title: \"Head of R&D\"\n"
                            "phone: \"+1 555 010 199\"\n"
                            "---\n"
                            "\n"
                            "# Ada King\n";

struct RealServer : ::testing::Test {
    Server server;
    void SetUp() override {
        ASSERT_FALSE(server.url.empty()) << "run through tests/scripts/with-webdav.sh";
        ASSERT_TRUE(fs::is_directory(server.data));
    }
    DAVClient client() const { return DAVClient(server.url, server.user, server.password); }
};

} // namespace

TEST_F(RealServer, Credentials) {
    EXPECT_NO_THROW(client().verify());
    for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
             {server.user, "wrong"}, {server.user, "s3cret"}, {"eve@example.org", server.password}, {"", ""}}) {
        DAVClient wrong(server.url, user, password);
        try {
            wrong.verify();
            ADD_FAILURE() << "accepted " << user << ":" << password;
        } catch (const DAVClient::DAVError& error) {
            EXPECT_EQ(error.kind(), DAVClient::DAVError::notAuthorised) << error.what();
        }
    }
    // A base URL with a path of its own still reaches /dav/ at the root.
    EXPECT_NO_THROW(DAVClient(server.url + "/some/where/?q=1", server.user, server.password).verify());
}

TEST_F(RealServer, PassesCreateNotesAndNeverOverwrite) {
    Contact ada = person(" Ada ", "King", "Analytical Engines Ltd", "Head of R&D");
    ada.phoneNumbers = {"+1 555 010 199", "+1 555 999"};
    Contact acme = person("", "", "  Acme  ");
    acme.emailAddresses = {" info@acme.example ", "second@acme.example"};
    Contact quoted = person("\xC3\x89mile", "O'Brien", "", "Say \"hi\" \\o/");
    FakeStore store;
    store.people = {ada, acme, person("ada", "king"), person(" ", ""), person("Grace", "Hopper"), quoted};
    // Someone else writes grace-hopper.md after the listing and before the upload.
    store.whileReading = [&] { server.put("grace-hopper.md", "made elsewhere\n"); };

    DAVClient first = client();
    const auto summary = ContactsImporter::sync(first, store);
    EXPECT_EQ(summary.total, 6);
    EXPECT_EQ(summary.added, 3);
    EXPECT_EQ(summary.skipped, 3);

    const Files expected{
        {"ada-king.md", adaNote},
        {"acme.md", "---\nname: \"Acme\"\ncompany: \"Acme\"\nemail: \"info@acme.example\"\n---\n\n# Acme\n"},
        {"grace-hopper.md", "made elsewhere\n"},
        {"mile-o-brien.md",
         "---\nname: \"\xC3\x89mile O'Brien\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\n---\n\n# \xC3\x89mile O'Brien\n"},
    };
    EXPECT_EQ(server.files(), expected);

    // The user edits a note, and the card changes: the next pass adds nothing and keeps the edit.
    server.put("ada-king.md", adaNote + "\nMet at the 1843 lecture.\n");
    store.whileReading = nullptr;
    store.people[0].emailAddresses = {"ada@example.org"};
    DAVClient second = client();
    const auto again = ContactsImporter::sync(second, store);
    EXPECT_EQ(again.total, 6);
    EXPECT_EQ(again.added, 0);
    EXPECT_EQ(again.skipped, 6);
    Files edited = expected;
    edited["ada-king.md"] = adaNote + "\nMet at the 1843 lecture.\n";
    EXPECT_EQ(server.files(), edited);

    // A note deleted from the vault comes back; the others stay as they are.
    fs::remove(server.contacts() / "acme.md");
    DAVClient third = client();
    const auto back = ContactsImporter::sync(third, store);
    EXPECT_EQ(back.added, 1);
    EXPECT_EQ(back.skipped, 5);
    EXPECT_EQ(server.files(), edited);

    // Straight uploads: the server refuses to replace what exists.
    DAVClient direct = client();
    EXPECT_FALSE(direct.createFile("ada-king.md", "replaced?\n"));
    EXPECT_EQ(server.files(), edited);
}

TEST_F(RealServer, ListingDecodesTheServersEscapes) {
    DAVClient dav = client();
    const auto before = dav.listContactFiles(); // the collection exists from the test before, or is made now
    const std::string zoe = "Zo\xC3\xAB Smith #1.md";
    EXPECT_TRUE(dav.createFile(zoe, "Zo\xC3\xAB\n"));
    EXPECT_FALSE(dav.createFile(zoe, "again\n"));
    server.put("b c.md", "x\n");
    server.put("e.txt", "x\n");
    server.put("upper.MD", "x\n");
    server.put("100% [sure].md", "x\n");
    fs::create_directory(server.contacts() / "folder.md");

    auto names = dav.listContactFiles();
    for (const auto& name : before)
        names.erase(name);
    EXPECT_EQ(names, (std::set<std::string>{zoe, "b c.md", "100% [sure].md", "folder.md"}));
    EXPECT_EQ(server.files()[zoe], "Zo\xC3\xAB\n");
}
