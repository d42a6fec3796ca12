// Whole sync passes that read a vCard folder and write to a real WebDAV server started by
// tests/scripts/with-webdav.sh; the notes are checked on the server's disk.
#include "ContactsImporter.h"
#include "DAVClient.h"
#include "VCardFolderStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::map<std::string, std::string> filesIn(const fs::path& folder) {
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        all[entry.path().filename().string()] = content.str();
    }
    return all;
}

} // namespace

TEST(VCardSync, PassReadsTheAddressBookFolder) {
    const std::string url = env("PELTWICK_DAV_URL");
    ASSERT_FALSE(url.empty()) << "run through tests/scripts/with-webdav.sh";
    const fs::path vault = fs::path(env("PELTWICK_DAV_DATA")) / "contacts";
    const fs::path data = fs::path(env("PELTWICK_SOURCE_DIR")) / "tests" / "vcard" / "data";

    // An address book in the vdir layout: a folder per book, a file per card, and the odd export.
    const fs::path book = fs::path(env("PELTWICK_DAV_RUNDIR")) / "addressbook";
    fs::create_directories(book / "work");
    fs::create_directories(book / "zz-old");
    fs::copy_file(data / "ez-vcard__John_Doe_IPHONE.vcf", book / "work" / "john.vcf");
    fs::copy_file(data / "kcontacts__testfullvcard.vcf", book / "work" / "sherlock.vcf");
    fs::copy_file(data / "FolkerKinzel-VCards__v3Utf16Bom.vcf", book / "export.vcf");
    fs::copy_file(data / "khard__org.vcf", book / "acme.vcf");
    fs::copy_file(data / "Radicale__broken-vcard.vcf", book / "no-name.vcf");
    fs::copy_file(data / "ez-vcard__John_Doe_GMAIL.vcf", book / "zz-old" / "john-again.vcf");
    std::ofstream(book / "friends.vcf") << "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nFN:Friends\r\nEND:VCARD\r\n";
    std::ofstream(book / "README") << "BEGIN:VCARD\r\nFN:Not A Card\r\nEND:VCARD\r\n";

    VCardFolderStore store(book);
    ASSERT_TRUE(ContactsImporter::requestAccess(store));
    DAVClient dav(url, env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    const ContactsImporter::Summary summary = ContactsImporter::sync(dav, store);
    // acme, two cards of the export, John Doe, Sherlock Holmes; the card without a name and the
    // second John Doe are skipped; the group and the README are no contacts.
    EXPECT_EQ(summary.total, 7);
    EXPECT_EQ(summary.added, 5);
    EXPECT_EQ(summary.skipped, 2);

    const std::map<std::string, std::string> expected{
        {"acme-inc.md", "---\nname: \"ACME Inc.\"\ncompany: \"ACME Inc.\"\n---\n\n# ACME Inc.\n"},
        {"folker-kinzel.md",
         "---\nname: \"Folker Kinzel\"\nemail: \"email1@wumms.de\"\nphone: \"0123-45678\"\n---\n\n# Folker Kinzel\n"},
        {"wsf-kms.md", "---\nname: \"WSF KMS\"\ncompany: \"KMS Au\xC3\x9F"
                       "enstelle\"\nemail: \"blabl\xC3\xB6@blub.com\"\nphone: \"03443-303776\"\n---\n\n# WSF KMS\n"},
        {"john-doe.md", "---\nname: \"John Doe\"\ncompany: \"IBM\"\ntitle: \"Money Counter\"\nemail: "
                        "\"john.doe@ibm.com\"\nphone: \"905-555-1234\"\n---\n\n# John Doe\n"},
        {"sherlock-holmes.md", "---\nname: \"Sherlock Holmes\"\ntitle: \"Detective\"\nemail: "
                               "\"sherlock.holmes@gmail.com\"\nphone: \"+44-555-555-5555;ext=5555\"\n---\n\n"
                               "# Sherlock Holmes\n"},
    };
    EXPECT_EQ(filesIn(vault), expected);

    // A card added later gets its note in the next pass; the others are left alone.
    std::ofstream(book / "work" / "grace.vcf") << "BEGIN:VCARD\nVERSION:3.0\nN:Hopper;Grace\nEND:VCARD\n";
    DAVClient second(url, env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    const ContactsImporter::Summary again = ContactsImporter::sync(second, store);
    EXPECT_EQ(again.total, 8);
    EXPECT_EQ(again.added, 1);
    auto grown = expected;
    grown["grace-hopper.md"] = "---\nname: \"Grace Hopper\"\n---\n\n# Grace Hopper\n";
    EXPECT_EQ(filesIn(vault), grown);

    // Without the folder the pass fails with the store's message, and the vault stays as it was.
    fs::remove_all(book);
    DAVClient third(url, env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    try {
        ContactsImporter::sync(third, store);
        ADD_FAILURE() << "a pass without an address book succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "No address book was found at " + book.string() + ": the folder does not exist.");
    }
    EXPECT_EQ(filesIn(vault), grown);
}
