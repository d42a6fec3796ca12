// Whole sync passes that read a vCard folder and write to a real WebDAV server started by
// tests/scripts/with-webdav.sh; the notes are checked on the server's disk.
#include "core/ContactsImporter.h"
#include "platform/VCardFolderStore.h"
#include "support/WebDavServer.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(VCardSync, PassReadsTheAddressBookFolder) {
    const WebDavServer server;
    ASSERT_FALSE(server.url.empty()) << "run through tests/scripts/with-webdav.sh";
    const fs::path data = fs::path(WebDavServer::env("PELTWICK_SOURCE_DIR")) / "tests" / "vcard" / "data";

    // An address book in the vdir layout: a folder per book, a file per card, and the odd export.
    const fs::path book = server.rundir / "addressbook";
    fs::create_directories(book / "work");
    fs::create_directories(book / "zz-old");
    for (const auto& [from, to] :
         std::map<std::string, std::string>{{"ez-vcard__John_Doe_IPHONE.vcf", "work/john.vcf"},
                                            {"kcontacts__testfullvcard.vcf", "work/sherlock.vcf"},
                                            {"FolkerKinzel-VCards__v3Utf16Bom.vcf", "export.vcf"},
                                            {"khard__org.vcf", "acme.vcf"},
                                            {"Radicale__broken-vcard.vcf", "no-name.vcf"},
                                            {"ez-vcard__John_Doe_GMAIL.vcf", "zz-old/john-again.vcf"}})
        fs::copy_file(data / from, book / to);
    std::ofstream(book / "friends.vcf") << "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nFN:Friends\r\nEND:VCARD\r\n";
    std::ofstream(book / "README") << "BEGIN:VCARD\r\nFN:Not A Card\r\nEND:VCARD\r\n";

    VCardFolderStore store(book);
    ASSERT_TRUE(ContactsImporter::requestAccess(store));
    DAVClient dav = server.client();
    const ContactsImporter::Summary summary = ContactsImporter::sync(dav, store);
    // acme, two cards of the export, John Doe, Sherlock Holmes; the card without a name and the
    // second John Doe are skipped; the group and the README are no contacts.
    EXPECT_EQ(summary.total, 7);
    EXPECT_EQ(summary.added, 5);
    EXPECT_EQ(summary.skipped, 2);
    std::map<std::string, std::string> expected{
        {"acme-inc.md", "---\nname: \"ACME Inc.\"\ncompany: \"ACME Inc.\"\n---\n\n# ACME Inc.\n"},
        {"folker-kinzel.md",
         "---\nname: \"Folker Kinzel\"\nemail: \"email1@wumms.de\"\nphone: \"0123-45678\"\n---\n\n# Folker Kinzel\n"},
        {"wsf-kms.md", "---\nname: \"WSF KMS\"\ncompany: \"KMS Außenstelle\"\nemail: \"blablö@blub.com\"\n"
                       "phone: \"03443-303776\"\n---\n\n# WSF KMS\n"},
        {"john-doe.md", "---\nname: \"John Doe\"\ncompany: \"IBM\"\ntitle: \"Money Counter\"\nemail: "
                        "\"john.doe@ibm.com\"\nphone: \"905-555-1234\"\n---\n\n# John Doe\n"},
        {"sherlock-holmes.md", "---\nname: \"Sherlock Holmes\"\ntitle: \"Detective\"\nemail: "
                               "\"sherlock.holmes@gmail.com\"\nphone: \"+44-555-555-5555;ext=5555\"\n---\n\n"
                               "# Sherlock Holmes\n"},
    };
    EXPECT_EQ(server.files(), expected);

    // A card added later gets its note in the next pass; the others are left alone.
    std::ofstream(book / "work" / "grace.vcf") << "BEGIN:VCARD\nVERSION:3.0\nN:Hopper;Grace\nEND:VCARD\n";
    DAVClient second = server.client();
    const ContactsImporter::Summary again = ContactsImporter::sync(second, store);
    EXPECT_EQ(again.total, 8);
    EXPECT_EQ(again.added, 1);
    expected["grace-hopper.md"] = "---\nname: \"Grace Hopper\"\n---\n\n# Grace Hopper\n";
    EXPECT_EQ(server.files(), expected);

    // Without the folder the pass fails with the store's message, and the vault stays as it was.
    fs::remove_all(book);
    DAVClient third = server.client();
    try {
        ContactsImporter::sync(third, store);
        ADD_FAILURE() << "a pass without an address book succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "No address book was found at " + book.string() + ": the folder does not exist.");
    }
    EXPECT_EQ(server.files(), expected);
}
