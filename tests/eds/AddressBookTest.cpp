// The program's address book with EDS present: the vCard folder, then every EDS book. Runs under
// tests/scripts/with-eds.sh.
#include "platform/AddressBook.h"
#include "EdsTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> firstEmails(const std::vector<Contact>& contacts) {
    std::vector<std::string> out;
    for (const Contact& c : contacts)
        out.push_back(c.emailAddresses.empty() ? "" : c.emailAddresses.front());
    return out;
}

TEST(AddressBook, ListsTheFolderFirstThenEachEdsBookBySourceUid) {
    PersonalBook personal;
    personal.clear();
    // "aaa-second-book" sorts before the built-in book's UID "system-address-book".
    personal.createBook("aaa-second-book", "Second", "local");
    PersonalBook second("aaa-second-book");
    personal.add("m-1", "N:King;Ada;;;\r\nEMAIL:ada@personal.example\r\n");
    personal.add("a-0", "N:Lee;Bob;;;\r\nEMAIL:bob@personal.example\r\n");
    second.add("z-9", "N:King;Ada;;;\r\nEMAIL:ada@second.example\r\n");
    const fs::path folder = fs::path(g_get_home_dir()) / "union-contacts";
    fs::create_directories(folder / "a");
    std::ofstream(folder / "b.vcf") << card("f-2", "N:King;Ada;;;\r\nEMAIL:ada@folder.example\r\n");
    std::ofstream(folder / "a" / "z.vcf") << card("f-1", "FN:Zed\r\nEMAIL:zed@folder.example\r\n");

    const std::vector<std::string> expected{"zed@folder.example", "ada@folder.example", "ada@second.example",
                                            "bob@personal.example", "ada@personal.example"};
    AddressBook book(folder);
    EXPECT_TRUE(book.requestAccess());
    const std::vector<Contact> contacts = book.contacts();
    EXPECT_EQ(firstEmails(contacts), expected);
    // Ada King's cards share one file name: the pass keeps the first, the folder's.
    EXPECT_EQ(ContactsImporter::fileName(*ContactsImporter::displayName(contacts.at(2))), "ada-king.md");

    // Without the folder, EDS alone is the address book; an empty one is no error either.
    fs::remove_all(folder);
    EXPECT_EQ(firstEmails(AddressBook(folder).contacts()),
              std::vector<std::string>(expected.begin() + 2, expected.end()));
    personal.removeBook("aaa-second-book");
    personal.clear();
    EXPECT_NO_THROW(EXPECT_TRUE(AddressBook(folder).contacts().empty()));

    // A folder that is there but cannot be read is the pass's error although EDS could be read:
    // its contacts would silently be missing.
    personal.add("a-0", "N:Lee;Bob;;;\r\n");
    std::ofstream(folder) << "not a folder";
    EXPECT_THROW(AddressBook(folder).contacts(), std::runtime_error);
    fs::remove(folder);
}

} // namespace
