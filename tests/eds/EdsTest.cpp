// GNOME's address book, read from a private EDS that tests/scripts/with-eds.sh starts; the tests
// fill its books through libebook itself.
#include "platform/AddressBook.h"
#include "platform/EdsContactStore.h"
#include "support/Fakes.h"

#include <libebook/libebook.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

void check(GError* error) {
    if (error == nullptr) return;
    ADD_FAILURE() << "EDS: " << error->message;
    g_error_free(error);
}

std::string card(const std::string& uid, const std::string& lines) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\n" + lines + "END:VCARD\r\n";
}

// An address book of the private EDS: the built-in "Personal" one, or the one with this source UID,
// which is created (backend "local", kept in a file like "Personal") or removed here.
class Book {
public:
    explicit Book(const char* uid = nullptr, const char* backend = "local") {
        GError* error = nullptr;
        registry_ = e_source_registry_new_sync(nullptr, &error);
        check(error);
        if (uid) {
            ESource* made = e_source_new_with_uid(uid, nullptr, &error);
            e_source_set_parent(made, "local-stub");
            e_source_set_display_name(made, uid);
            auto* extension = e_source_get_extension(made, E_SOURCE_EXTENSION_ADDRESS_BOOK);
            e_source_backend_set_backend_name(E_SOURCE_BACKEND(extension), backend);
            e_source_registry_commit_source_sync(registry_, made, nullptr, &error);
            g_object_unref(made);
            check(error);
        }
        source_ =
            uid ? e_source_registry_ref_source(registry_, uid) : e_source_registry_ref_builtin_address_book(registry_);
        client_ = e_book_client_connect_sync(source_, static_cast<guint32>(-1), nullptr, nullptr);
    }
    ~Book() {
        if (client_) g_object_unref(client_);
        g_object_unref(source_);
        g_object_unref(registry_);
    }
    void remove() { e_source_remove_sync(source_, nullptr, nullptr); }
    void setEnabled(bool enabled) {
        e_source_set_enabled(source_, enabled);
        e_source_write_sync(source_, nullptr, nullptr);
    }
    void add(const std::string& uid, const std::string& lines) {
        EContact* contact = e_contact_new_from_vcard(card(uid, lines).c_str());
        GError* error = nullptr;
        e_book_client_add_contact_sync(E_BOOK_CLIENT(client_), contact, E_BOOK_OPERATION_FLAG_NONE, nullptr, nullptr,
                                       &error);
        g_object_unref(contact);
        check(error);
    }

private:
    ESourceRegistry* registry_ = nullptr;
    ESource* source_ = nullptr;
    EClient* client_ = nullptr;
};

Contact contact(std::string given, std::string family, std::string organization, std::string title,
                std::vector<std::string> emails, std::vector<std::string> phones) {
    return {std::move(given), std::move(family), std::move(organization),
            std::move(title), std::move(emails), std::move(phones)};
}

// The process id of the owner of the first bus name that starts with this prefix.
pid_t busNamePid(const std::string& prefix) {
    auto call = [](const std::string& method) {
        const std::string command =
            "gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus --method "
            "org.freedesktop.DBus." +
            method;
        FILE* pipe = ::popen(command.c_str(), "r");
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

} // namespace

// One run of EDS for all of it: the books' contents build up from step to step.
TEST(Eds, ReadsEveryBookInOrderBesideTheFolderAndCopesWithBooksThatFailOrHang) {
    Book personal;
    // The six properties, escapes, contact lists left out, people in UID order whatever EDS returns.
    personal.add("c-ada", "N:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd;Research\r\nTITLE:Head of R&D\r\n"
                          "EMAIL;TYPE=HOME:ada@home.example\r\nEMAIL;TYPE=WORK,PREF:ada@work.example\r\n"
                          "TEL;TYPE=CELL:+1 555 010 199\r\nTEL;TYPE=WORK,PREF:020 7946 0000\r\n");
    personal.add("a-fn", "FN:Émile O'Brien\r\n");
    personal.add("e-escaped", "N:O\\,Neil;Ann\\nMarie;;;\r\nTITLE:Say \"hi\" \\\\o/\r\n");
    personal.add("b-group", "FN:Friends\r\nX-EVOLUTION-LIST:TRUE\r\nEMAIL:ada@home.example\r\n");
    personal.add("b-kind", "KIND:group\r\nFN:Team\r\n");
    personal.add("b-apple", "FN:Club\r\nX-ADDRESSBOOKSERVER-KIND:group\r\n");
    personal.add("d-company", "FN:Acme\r\nORG:Acme\r\nTEL:\r\n");
    const std::vector<Contact> people = {
        contact("Émile O'Brien", "", "", "", {}, {}),
        contact("Ada", "King", "Analytical Engines Ltd", "Head of R&D", {"ada@home.example", "ada@work.example"},
                {"+1 555 010 199", "020 7946 0000"}),
        contact("Acme", "", "Acme", "", {}, {""}), contact("Ann\nMarie", "O,Neil", "", "Say \"hi\" \\o/", {}, {})};
    EXPECT_EQ(EdsContactStore().contacts(), people);

    // The folder first, then each book by source UID ("aaa-second" sorts before "system-address-book").
    Book second("aaa-second");
    second.add("z-9", "N:King;Ada;;;\r\n");
    const fs::path folder = fs::path(g_get_home_dir()) / "contacts";
    fs::create_directories(folder);
    std::ofstream(folder / "b.vcf") << card("f-2", "N:Lee;Bob;;;\r\n");
    std::vector<Contact> all = {person("Bob", "Lee"), person("Ada", "King")};
    all.insert(all.end(), people.begin(), people.end());
    EXPECT_EQ(AddressBook(folder).contacts(), all);
    // A folder that is there but cannot be read fails the pass: its contacts would silently be missing.
    fs::remove_all(folder);
    std::ofstream(folder) << "not a folder";
    EXPECT_THROW(AddressBook(folder).contacts(), std::runtime_error);
    fs::remove(folder);
    second.remove();

    // A book that fails is skipped while another can be read, and named when none can.
    Book broken("zz-broken", "no-such-backend");
    EXPECT_EQ(EdsContactStore().contacts().size(), 4u);
    personal.setEnabled(false);
    try {
        AddressBook(folder).contacts();
        ADD_FAILURE() << "no error although nothing could be read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("zz-broken"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(folder.string()), std::string::npos) << e.what();
    }
    personal.setEnabled(true);
    broken.remove();

    // A stopped service takes the call and never answers: the read gives up within its bound.
    for (const auto& [service, failure] :
         {std::pair{"org.gnome.evolution.dataserver.AddressBook", "did not answer within 1 s"},
          std::pair{"org.gnome.evolution.dataserver.Sources", "the list of address books did not answer within 1 s"}}) {
        const pid_t pid = busNamePid(service);
        ASSERT_GT(pid, 0) << service;
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        const auto start = std::chrono::steady_clock::now();
        const EdsContactStore::Reading reading = EdsContactStore(std::chrono::milliseconds(1000)).read();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        kill(pid, SIGCONT);
        EXPECT_LT(elapsed, std::chrono::seconds(15)) << "the bound did not hold";
        ASSERT_EQ(reading.failures.size(), 1u);
        EXPECT_NE(reading.failures[0].find(failure), std::string::npos) << reading.failures[0];
        EXPECT_EQ(EdsContactStore().contacts(), people) << "it reads again once the service answers";
    }
}
