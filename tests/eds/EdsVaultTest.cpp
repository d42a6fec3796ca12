// Whole sync passes that read GNOME's address book and write into a real WebDAV vault. Runs under
// tests/scripts/with-webdav.sh (the vault) and tests/scripts/with-eds.sh (a private EDS) together.
#include "DAVClient.h"
#include "EdsTestSupport.h"
#include "platform/AddressBook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::map<std::string, std::string> vaultFiles(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        files[entry.path().filename().string()] = content.str();
    }
    return files;
}

TEST(EdsVault, PassesReadTheFolderAndEdsAndTheFolderWinsACollision) {
    const std::string url = env("PELTWICK_DAV_URL");
    ASSERT_FALSE(url.empty()) << "run through tests/scripts/with-webdav.sh";
    const fs::path notes = fs::path(env("PELTWICK_DAV_DATA")) / "contacts";

    PersonalBook personal;
    personal.clear();
    personal.add(card("e-1", "N:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd;Research\r\n"
                             "TITLE:Head of R&D\r\nEMAIL:ada@eds.example\r\nTEL:+44 20 0000\r\n"));
    personal.add(card("e-2", "FN:Émile O'Brien\r\nTITLE:Say \"hi\" \\\\o/\r\nTEL:+33 1 23\r\nTEL:+33 9 99\r\n"));
    personal.add(card("e-3", "FN:Acme\r\nORG:  Acme  \r\nEMAIL: info@acme.example \r\nEMAIL:second@acme.example\r\n"));
    personal.add(card("e-4", "FN:Everyone\r\nX-EVOLUTION-LIST:TRUE\r\n"));

    const fs::path folder = fs::path(g_get_home_dir()) / "contacts";
    fs::create_directories(folder);
    std::ofstream(folder / "ada.vcf") << "BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\n"
                                         "ORG:Analytical Engines Ltd\r\nTITLE:Head of R&D\r\n"
                                         "TEL:+1 555 010 199\r\nEND:VCARD\r\n";

    AddressBook book(folder);
    DAVClient first(url, env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    const ContactsImporter::Summary summary = ContactsImporter::sync(first, book);
    EXPECT_EQ(summary.total, 4); // the folder's card and EDS's three people; the list is left out
    EXPECT_EQ(summary.added, 3);
    EXPECT_EQ(summary.skipped, 1); // EDS's Ada King, whose file name the folder's card took

    const std::map<std::string, std::string> expected{
        {"ada-king.md", "---\nname: \"Ada King\"\ncompany: \"Analytical Engines Ltd\"\ntitle: \"Head of R&D\"\n"
                        "phone: \"+1 555 010 199\"\n---\n\n# Ada King\n"},
        {"acme.md", "---\nname: \"Acme\"\ncompany: \"Acme\"\nemail: \"info@acme.example\"\n---\n\n# Acme\n"},
        {"mile-o-brien.md", "---\nname: \"Émile O'Brien\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\nphone: \"+33 1 23\"\n"
                            "---\n\n# Émile O'Brien\n"},
    };
    EXPECT_EQ(vaultFiles(notes), expected);

    // Without the folder EDS alone is read; everything is in the vault already.
    fs::remove_all(folder);
    DAVClient second(url, env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    const ContactsImporter::Summary again = ContactsImporter::sync(second, book);
    EXPECT_EQ(again.total, 3);
    EXPECT_EQ(again.added, 0);
    EXPECT_EQ(again.skipped, 3);
    EXPECT_EQ(vaultFiles(notes), expected);
}

} // namespace
