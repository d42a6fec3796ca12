// Runs under tests/scripts/with-eds.sh: a private EDS whose "Personal" book the tests fill.
#include "platform/EdsContactStore.h"
#include "EdsTestSupport.h"
#include "platform/AddressBook.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string_view>

namespace {

using Strings = std::vector<std::string>;

std::vector<Strings> fields(const std::vector<Contact>& contacts) {
    std::vector<Strings> out;
    for (const Contact& c : contacts) {
        Strings row{c.givenName, c.familyName, c.organizationName, c.jobTitle};
        row.insert(row.end(), c.emailAddresses.begin(), c.emailAddresses.end());
        row.push_back("|");
        row.insert(row.end(), c.phoneNumbers.begin(), c.phoneNumbers.end());
        out.push_back(row);
    }
    return out;
}

// The process id of the owner of the bus name that starts with the given prefix.
pid_t busNamePid(std::string_view prefix) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    EXPECT_NE(bus, nullptr);
    GVariant* names = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "ListNames", nullptr, G_VARIANT_TYPE("(as)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    std::string factory;
    GVariantIter* iter = nullptr;
    g_variant_get(names, "(as)", &iter);
    const gchar* name = nullptr;
    while (g_variant_iter_loop(iter, "&s", &name))
        if (std::string_view(name).starts_with(prefix)) factory = name;
    g_variant_iter_free(iter);
    g_variant_unref(names);
    guint32 pid = 0;
    if (!factory.empty()) {
        GVariant* reply =
            g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "GetConnectionUnixProcessID", g_variant_new("(s)", factory.c_str()),
                                        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        g_variant_get(reply, "(u)", &pid);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return static_cast<pid_t>(pid);
}

class EdsContactStoreTest : public ::testing::Test {
protected:
    void SetUp() override { book.clear(); }
    PersonalBook book;
};

TEST_F(EdsContactStoreTest, ReadsTheSixPropertiesOfEveryPersonInUidOrder) {
    // Added out of UID order; EDS itself hands them back in no documented order.
    book.add(card("c-ada", "N:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd;Research\r\n"
                           "TITLE:Head of R&D\r\nEMAIL;TYPE=HOME:ada@home.example\r\n"
                           "EMAIL;TYPE=WORK,PREF:ada@work.example\r\nitem1.EMAIL:third@example.org\r\n"
                           "TEL;TYPE=CELL:+1 555 010 199\r\nTEL;TYPE=WORK,PREF:020 7946 0000\r\n"));
    book.add(card("a-fn", "FN:Émile O'Brien\r\n"));
    book.add(card("e-escaped", "N:O\\,Neil;Ann\\nMarie;;;\r\nFN:Ann Marie O'Neil\r\nTITLE:Say \"hi\" \\\\o/\r\n"));
    book.add(card("b-group", "FN:Friends\r\nX-EVOLUTION-LIST:TRUE\r\nEMAIL:ada@home.example\r\n"));
    book.add(card("b-kind", "KIND:group\r\nFN:Team\r\n"));
    book.add(card("b-apple", "FN:Club\r\nX-ADDRESSBOOKSERVER-KIND:group\r\n"));
    book.add(card("d-company", "FN:Acme\r\nORG:Acme\r\nTEL:\r\n"));

    EdsContactStore store;
    EXPECT_TRUE(store.requestAccess());
    const std::vector<Contact> first = store.contacts();
    const std::vector<Strings> expected{
        {"Émile O'Brien", "", "", "", "|"},
        {"Ada", "King", "Analytical Engines Ltd", "Head of R&D", "ada@home.example", "ada@work.example",
         "third@example.org", "|", "+1 555 010 199", "020 7946 0000"},
        {"Acme", "", "Acme", "", "|", ""},
        {"Ann\nMarie", "O,Neil", "", "Say \"hi\" \\o/", "|"},
    };
    EXPECT_EQ(fields(first), expected);
    EXPECT_EQ(fields(store.contacts()), expected) << "a second read gives the same order";
    EXPECT_EQ(fields(EdsContactStore().contacts()), expected) << "a fresh store gives the same order";
}

TEST_F(EdsContactStoreTest, SkipsABookThatFailsAndReportsItOnlyWhenNothingCouldBeRead) {
    book.add(card("a-1", "N:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n"));
    // A book whose backend does not exist: EDS lists it, opening it fails.
    PersonalBook::createBook(book.registry(), "zz-broken-book", "Broken Book", "no-such-backend");
    ESource* personal = e_source_registry_ref_builtin_address_book(book.registry());

    EdsContactStore::Reading reading = EdsContactStore().read();
    EXPECT_EQ(reading.booksListed, 2u);
    EXPECT_EQ(reading.booksRead, 1u);
    ASSERT_EQ(reading.failures.size(), 1u);
    EXPECT_NE(reading.failures[0].find("Broken Book"), std::string::npos) << reading.failures[0];
    ASSERT_EQ(reading.contacts.size(), 1u);
    EXPECT_EQ(EdsContactStore().contacts().size(), 1u) << "one readable book is enough";

    // With the readable book disabled, nothing can be read: the error names the book that failed.
    PersonalBook::setEnabled(personal, false);
    const std::filesystem::path folder = std::filesystem::path(g_get_home_dir()) / "no-such-folder";
    for (int source = 0; source < 2; ++source) {
        try {
            if (source == 0)
                EdsContactStore().contacts();
            else
                AddressBook(folder).contacts();
            ADD_FAILURE() << "no error although nothing could be read";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("Evolution Data Server"), std::string::npos) << message;
            EXPECT_NE(message.find("Broken Book"), std::string::npos) << message;
            EXPECT_EQ(message.find(folder.string()) != std::string::npos, source == 1) << message;
        }
    }
    // A vCard folder that could be read is enough.
    std::filesystem::create_directories(folder);
    EXPECT_NO_THROW(EXPECT_TRUE(AddressBook(folder).contacts().empty()));
    std::filesystem::remove(folder);

    PersonalBook::setEnabled(personal, true);
    g_object_unref(personal);
    PersonalBook::removeBook(book.registry(), "zz-broken-book");
    EXPECT_EQ(EdsContactStore().read().booksListed, 1u);
}

TEST(EdsContactStore, GivesUpOnABookOrRegistryThatDoesNotAnswer) {
    {
        // Closed again before the services are stopped: a registry open in the process would
        // answer for the stopped one.
        PersonalBook book;
        book.clear();
        book.add(card("a-1", "N:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n"));
    }
    const pid_t factory = busNamePid("org.gnome.evolution.dataserver.AddressBook");
    ASSERT_GT(factory, 0);
    // A stopped factory takes the call and never answers.
    ASSERT_EQ(kill(factory, SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    EdsContactStore::Reading reading;
    EXPECT_NO_THROW(reading = EdsContactStore(std::chrono::milliseconds(1000)).read());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    kill(factory, SIGCONT);
    EXPECT_LT(elapsed, std::chrono::seconds(15)) << "the bound did not hold";
    EXPECT_EQ(reading.booksRead, 0u);
    ASSERT_EQ(reading.failures.size(), 1u);
    EXPECT_NE(reading.failures[0].find("did not answer within 1 s"), std::string::npos) << reading.failures[0];
    EXPECT_EQ(EdsContactStore().contacts().size(), 1u) << "the book reads again once it answers";

    // The same for the registry that lists the books.
    const pid_t registry = busNamePid("org.gnome.evolution.dataserver.Sources");
    ASSERT_GT(registry, 0);
    ASSERT_EQ(kill(registry, SIGSTOP), 0);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(reading = EdsContactStore(std::chrono::milliseconds(1000)).read());
    const auto waited = std::chrono::steady_clock::now() - again;
    kill(registry, SIGCONT);
    EXPECT_LT(waited, std::chrono::seconds(15)) << "the bound did not hold";
    EXPECT_EQ(reading.booksListed, 0u);
    ASSERT_EQ(reading.failures.size(), 1u);
    EXPECT_EQ(reading.failures[0], "the list of address books did not answer within 1 s");
    EXPECT_EQ(EdsContactStore().contacts().size(), 1u) << "the registry answers again";
}

} // namespace
