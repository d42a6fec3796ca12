// GNOME's address book from the private EDS that tests/scripts/with-eds.sh starts, filled by libebook.
#include "platform/AddressBook.h"
#include "platform/EdsContactStore.h"
#include "support/Fakes.h"

#include <libebook/libebook.h>

#include <gmock/gmock.h>

#include <csignal>
#include <fstream>

namespace fs = std::filesystem;
using namespace testing;
using Contacts = std::vector<Contact>;

static const AddressBook::EdsReader readEds = [] { return EdsContactStore().read(); }; // as the program's module does

// An address book of the private EDS by its source UID, given cards (each its vCard 3.0 lines).
struct Book {
    ESourceRegistry* registry = e_source_registry_new_sync(nullptr, nullptr);
    ESource* source;
    Book(const char* uid, const std::vector<std::string>& cards) : source(e_source_registry_ref_source(registry, uid)) {
        auto* book = E_BOOK_CLIENT(e_book_client_connect_sync(source, static_cast<guint32>(-1), nullptr, nullptr));
        for (const std::string& lines : cards) {
            EContact* card = e_contact_new_from_vcard(("BEGIN:VCARD\r\nVERSION:3.0\r\n" + lines + "END:VCARD").c_str());
            e_book_client_add_contact_sync(book, card, E_BOOK_OPERATION_FLAG_NONE, nullptr, nullptr, nullptr);
            g_object_unref(card);
        }
        g_object_unref(book);
    }
    ~Book() { g_object_unref(source), g_object_unref(registry); }
    void enable(bool enabled) { e_source_set_enabled(source, enabled), e_source_write_sync(source, nullptr, nullptr); }
};

// The process of this run's EDS (its bus's services carry the run's marker) started from this program.
static pid_t service(const std::string& program) {
    const std::string marker = "PELTWICK_EDS_RUN=" + std::string(std::getenv("PELTWICK_EDS_RUN")) + '\0';
    for (const auto& process : fs::directory_iterator("/proc")) {
        std::ifstream command(process.path() / "cmdline"), environment(process.path() / "environ");
        std::string path, vars(std::istreambuf_iterator<char>(environment), {});
        if (std::getline(command, path, '\0') && path.ends_with("/" + program) && vars.find(marker) != vars.npos)
            return std::stoi(process.path().filename());
    }
    return 0;
}

// One run of EDS for all of it: the books' contents build up from step to step.
TEST(Eds, ReadsEveryBookInOrderBesideTheFolderAndCopesWithBooksThatFailOrHang) {
    // Before EDS starts: a book on the "local" backend, as EDS's own "system-address-book", and a failing one.
    const fs::path sources = fs::path(g_get_user_config_dir()) / "evolution/sources";
    fs::create_directories(sources);
    for (const auto& [uid, backend] : {std::pair{"aaa-second", "local"}, {"zz-broken", "no-such-backend"}})
        std::ofstream(sources / (uid + std::string(".source")))
            << "[Data Source]\nDisplayName=" << uid << "\nParent=local-stub\n[Address Book]\nBackendName=" << backend;
    // The six properties, contact lists left out, people in UID order whatever order EDS returns.
    Book personal(
        "system-address-book",
        {"UID:c\r\nN:King;Ada;;;\r\nFN:Ada King\r\nORG:Engines;R&D\r\nTITLE:Head\r\nEMAIL;TYPE=HOME:a@home\r\n"
         "EMAIL;TYPE=WORK,PREF:a@work\r\nTEL;TYPE=CELL:+1 555\r\nTEL;TYPE=WORK,PREF:020 7946\r\n",
         "UID:a\r\nFN:Émile O'Brien\r\n", "UID:b1\r\nFN:Friends\r\nX-EVOLUTION-LIST:TRUE\r\n",
         "UID:b2\r\nKIND:group\r\nFN:Team\r\n", "UID:b3\r\nFN:Club\r\nX-ADDRESSBOOKSERVER-KIND:group\r\n",
         "UID:d\r\nFN:Acme\r\nORG:Acme\r\nTEL:\r\n"});
    const Contact ada{"Ada", "King", "Engines", "Head", {"a@home", "a@work"}, {"+1 555", "020 7946"}};
    const Contacts people = {person("Émile O'Brien"), ada, {"Acme", "", "Acme", "", {}, {""}}};

    // The folder first, then each book by source UID; a book that fails is skipped while one reads.
    Book second("aaa-second", {"UID:z\r\nN:Lee;Bo;;;\r\n"});
    const fs::path folder = fs::path(g_get_home_dir()) / "contacts";
    fs::create_directories(folder);
    std::ofstream(folder / "b.vcf") << "BEGIN:VCARD\r\nN:Lee;Cy;;;\r\nEND:VCARD\r\n";
    EXPECT_EQ(AddressBook(folder, readEds).contacts(),
              Contacts({person("Cy", "Lee"), person("Bo", "Lee"), people[0], people[1], people[2]}));
    EXPECT_THROW(AddressBook(folder / "b.vcf", readEds).contacts(), std::runtime_error); // there but no folder
    fs::remove_all(folder);
    // With neither the folder nor a book that can be read, the error names both.
    second.enable(false), personal.enable(false);
    EXPECT_THAT([&] { AddressBook(folder, readEds).contacts(); },
                ThrowsMessage<std::runtime_error>(AllOf(HasSubstr("zz-broken"), HasSubstr(folder.string()))));
    personal.enable(true);

    // A stopped service takes the call and never answers: the read gives up within its bound.
    for (const auto& [program, failure] :
         {std::pair{"evolution-addressbook-factory", "did not answer within 1 s"},
          std::pair{"evolution-source-registry", "the list of address books did not answer within 1 s"}}) {
        const pid_t pid = service(program);
        ASSERT_TRUE(pid > 0 && kill(pid, SIGSTOP) == 0) << program;
        const EdsContactStore::Reading reading = EdsContactStore(std::chrono::milliseconds(1000)).read();
        kill(pid, SIGCONT);
        EXPECT_THAT(reading.failures, AllOf(Not(IsEmpty()), Each(HasSubstr(failure))));
        EXPECT_EQ(EdsContactStore().contacts(), people) << "it reads again once the service answers";
    }
}
