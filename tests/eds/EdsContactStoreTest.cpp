// Runs under tests/scripts/with-eds.sh: a private EDS whose "Personal" book the tests fill.
#include "platform/EdsContactStore.h"
#include "EdsTestSupport.h"
#include "platform/AddressBook.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>

namespace {

using Strings = std::vector<std::string>;

std::vector<Strings> fields(const std::vector<Contact>& contacts) {
    std::vector<Strings> out;
    for (const Contact& c : contacts) {
        out.push_back({c.givenName, c.familyName, c.organizationName, c.jobTitle});
        out.back().insert(out.back().end(), c.emailAddresses.begin(), c.emailAddresses.end());
        out.back().push_back("|");
        out.back().insert(out.back().end(), c.phoneNumbers.begin(), c.phoneNumbers.end());
    }
    return out;
}

// The process id of the owner of the first bus name that starts with this prefix; 0 when none does.
pid_t busNamePid(const std::string& prefix) {
    auto call = [](const std::string& method) {
        FILE* pipe = ::popen(("gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
                              "--method org.freedesktop.DBus." +
                              method)
                                 .c_str(),
                             "r");
        std::string out(4096, '\0');
        out.resize(pipe ? std::fread(out.data(), 1, out.size(), pipe) : 0);
        if (pipe) ::pclose(pipe);
        return out;
    };
    const std::string names = call("ListNames");
    const auto at = names.find("'" + prefix);
    if (at == std::string::npos) return 0;
    const std::string reply =
        call("GetConnectionUnixProcessID \"" + names.substr(at, names.find('\'', at + 1) - at + 1) + "\"");
    return static_cast<pid_t>(std::atoi(reply.c_str() + reply.find(' ') + 1)); // "(uint32 1234,)"
}

class EdsContactStoreTest : public ::testing::Test {
protected:
    void SetUp() override { book.clear(); }
    PersonalBook book;
};

TEST_F(EdsContactStoreTest, ReadsTheSixPropertiesOfEveryPersonInUidOrder) {
    // Added out of UID order; EDS itself hands them back in no documented order.
    book.add("c-ada",
             "N:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd;Research\r\nTITLE:Head of R&D\r\n"
             "EMAIL;TYPE=HOME:ada@home.example\r\nEMAIL;TYPE=WORK,PREF:ada@work.example\r\n"
             "item1.EMAIL:third@example.org\r\nTEL;TYPE=CELL:+1 555 010 199\r\nTEL;TYPE=WORK,PREF:020 7946 0000\r\n");
    book.add("a-fn", "FN:Émile O'Brien\r\n");
    book.add("e-escaped", "N:O\\,Neil;Ann\\nMarie;;;\r\nFN:Ann Marie O'Neil\r\nTITLE:Say \"hi\" \\\\o/\r\n");
    book.add("b-group", "FN:Friends\r\nX-EVOLUTION-LIST:TRUE\r\nEMAIL:ada@home.example\r\n");
    book.add("b-kind", "KIND:group\r\nFN:Team\r\n");
    book.add("b-apple", "FN:Club\r\nX-ADDRESSBOOKSERVER-KIND:group\r\n");
    book.add("d-company", "FN:Acme\r\nORG:Acme\r\nTEL:\r\n");

    EdsContactStore store;
    EXPECT_TRUE(store.requestAccess());
    const std::vector<Strings> expected{
        {"Émile O'Brien", "", "", "", "|"},
        {"Ada", "King", "Analytical Engines Ltd", "Head of R&D", "ada@home.example", "ada@work.example",
         "third@example.org", "|", "+1 555 010 199", "020 7946 0000"},
        {"Acme", "", "Acme", "", "|", ""},
        {"Ann\nMarie", "O,Neil", "", "Say \"hi\" \\o/", "|"},
    };
    EXPECT_EQ(fields(store.contacts()), expected);
    EXPECT_EQ(fields(store.contacts()), expected) << "a second read gives the same order";
    EXPECT_EQ(fields(EdsContactStore().contacts()), expected) << "a fresh store gives the same order";
}

TEST_F(EdsContactStoreTest, SkipsABookThatFailsAndReportsItOnlyWhenNothingCouldBeRead) {
    book.add("a-1", "N:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n");
    // A book whose backend does not exist: EDS lists it, opening it fails.
    book.createBook("zz-broken-book", "Broken Book", "no-such-backend");
    EdsContactStore::Reading reading = EdsContactStore().read();
    EXPECT_EQ(reading.booksListed, 2u);
    EXPECT_EQ(reading.booksRead, 1u);
    ASSERT_EQ(reading.failures.size(), 1u);
    EXPECT_NE(reading.failures[0].find("Broken Book"), std::string::npos) << reading.failures[0];
    EXPECT_EQ(EdsContactStore().contacts().size(), 1u) << "one readable book is enough";

    // With the readable book disabled nothing can be read: the error names the book that failed, and
    // the whole address book's error names both places it looked.
    book.setEnabled(false);
    const std::filesystem::path folder = std::filesystem::path(g_get_home_dir()) / "no-such-folder";
    for (bool withFolder : {false, true}) {
        try {
            withFolder ? AddressBook(folder).contacts() : EdsContactStore().contacts();
            ADD_FAILURE() << "no error although nothing could be read";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("Evolution Data Server"), std::string::npos) << message;
            EXPECT_NE(message.find("Broken Book"), std::string::npos) << message;
            EXPECT_EQ(message.find(folder.string()) != std::string::npos, withFolder) << message;
        }
    }
    std::filesystem::create_directories(folder); // a vCard folder that could be read is enough
    EXPECT_NO_THROW(EXPECT_TRUE(AddressBook(folder).contacts().empty()));
    std::filesystem::remove(folder);
    book.setEnabled(true);
    book.removeBook("zz-broken-book");
}

TEST(EdsContactStore, GivesUpOnABookOrRegistryThatDoesNotAnswer) {
    {
        // Closed before the services are stopped: a registry open in the process would answer for them.
        PersonalBook book;
        book.clear();
        book.add("a-1", "N:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n");
    }
    // A stopped service takes the call and never answers.
    for (const auto& [service, failure] :
         {std::pair{"org.gnome.evolution.dataserver.AddressBook", "did not answer within 1 s"},
          std::pair{"org.gnome.evolution.dataserver.Sources", "the list of address books did not answer within 1 s"}}) {
        const pid_t pid = busNamePid(service);
        ASSERT_GT(pid, 0) << service;
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        const auto start = std::chrono::steady_clock::now();
        EdsContactStore::Reading reading;
        EXPECT_NO_THROW(reading = EdsContactStore(std::chrono::milliseconds(1000)).read());
        const auto elapsed = std::chrono::steady_clock::now() - start;
        kill(pid, SIGCONT);
        EXPECT_LT(elapsed, std::chrono::seconds(15)) << "the bound did not hold";
        EXPECT_EQ(reading.booksRead, 0u);
        ASSERT_EQ(reading.failures.size(), 1u);
        EXPECT_NE(reading.failures[0].find(failure), std::string::npos) << reading.failures[0];
        EXPECT_EQ(EdsContactStore().contacts().size(), 1u) << "it reads again once the service answers";
    }
}

} // namespace
