// Whole sync passes that read GNOME's address book and write into a real WebDAV vault. Runs under
// tests/scripts/with-webdav.sh (the vault) and tests/scripts/with-eds.sh (a private EDS) together.
#include "EdsTestSupport.h"
#include "core/DAVClient.h"
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
    return std::getenv(name) ? std::getenv(name) : "";
}

std::map<std::string, std::string> vaultFiles() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(fs::path(env("PELTWICK_DAV_DATA")) / "contacts")) {
        std::ostringstream content;
        content << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        files[entry.path().filename().string()] = content.str();
    }
    return files;
}

// One pass's counts: total, added, skipped.
std::string pass(AddressBook& book) {
    DAVClient client(env("PELTWICK_DAV_URL"), env("PELTWICK_DAV_USER"), env("PELTWICK_DAV_PASSWORD"));
    const auto summary = ContactsImporter::sync(client, book);
    return std::to_string(summary.total) + " " + std::to_string(summary.added) + " " + std::to_string(summary.skipped);
}

TEST(EdsVault, PassesReadTheFolderAndEdsAndTheFolderWinsACollision) {
    ASSERT_FALSE(env("PELTWICK_DAV_URL").empty()) << "run through tests/scripts/with-webdav.sh";
    PersonalBook personal;
    personal.clear();
    personal.add("e-1", "N:King;Ada;;;\r\nFN:Ada King\r\nORG:Analytical Engines Ltd;Research\r\n"
                        "TITLE:Head of R&D\r\nEMAIL:ada@eds.example\r\nTEL:+44 20 0000\r\n");
    personal.add("e-2", "FN:Émile O'Brien\r\nTITLE:Say \"hi\" \\\\o/\r\nTEL:+33 1 23\r\nTEL:+33 9 99\r\n");
    personal.add("e-3", "FN:Acme\r\nORG:  Acme  \r\nEMAIL: info@acme.example \r\nEMAIL:second@acme.example\r\n");
    personal.add("e-4", "FN:Everyone\r\nX-EVOLUTION-LIST:TRUE\r\n");
    const fs::path folder = fs::path(g_get_home_dir()) / "contacts";
    fs::create_directories(folder);
    std::ofstream(folder / "ada.vcf") << card("f-1", "N:King;Ada;;;\r\nORG:Analytical Engines Ltd\r\n"
                                                     "TITLE:Head of R&D\r\nTEL:+1 555 010 199\r\n");
    AddressBook book(folder);
    // The folder's card and EDS's three people, the list left out; EDS's Ada King lost her file name.
    EXPECT_EQ(pass(book), "4 3 1");
    const std::map<std::string, std::string> expected{
        {"ada-king.md", "---\nname: \"Ada King\"\ncompany: \"Analytical Engines Ltd\"\ntitle: \"Head of R&D\"\n"
                        "phone: \"+1 555 010 199\"\n---\n\n# Ada King\n"},
        {"acme.md", "---\nname: \"Acme\"\ncompany: \"Acme\"\nemail: \"info@acme.example\"\n---\n\n# Acme\n"},
        {"mile-o-brien.md", "---\nname: \"Émile O'Brien\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\nphone: \"+33 1 23\"\n"
                            "---\n\n# Émile O'Brien\n"},
    };
    EXPECT_EQ(vaultFiles(), expected);
}

} // namespace
