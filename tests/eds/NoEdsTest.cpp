// The address book where GNOME's is not to be had: run under tests/scripts/with-eds.sh --no-bus
// (no session bus) and --no-eds (a bus on which EDS is not installed), and in a build without EDS.
#include "platform/AddressBook.h"
#ifdef PELTWICK_HAVE_EDS
#include "platform/EdsContactStore.h"
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

TEST(NoEds, ReadsNothingQuicklyAndWithoutErrorAndTheFolderStillCounts) {
#ifdef PELTWICK_HAVE_EDS
    const auto start = std::chrono::steady_clock::now();
    EdsContactStore::Reading reading;
    EXPECT_NO_THROW(reading = EdsContactStore().read());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)); // only catches a hang
    EXPECT_EQ(reading.booksListed, 0u);
    EXPECT_TRUE(reading.failures.empty());
    EXPECT_NO_THROW(EXPECT_TRUE(EdsContactStore().contacts().empty()));
#endif
    ASSERT_NE(std::getenv("HOME"), nullptr);
    const std::filesystem::path folder = std::filesystem::path(std::getenv("HOME")) / "contacts";
    try {
        AddressBook(folder).contacts();
        ADD_FAILURE() << "no error without any address book";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(folder.string()), std::string::npos) << e.what();
#ifdef PELTWICK_HAVE_EDS
        EXPECT_NE(std::string(e.what()).find("GNOME's address book (Evolution Data Server)"), std::string::npos);
#endif
    }
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "ada.vcf") << "BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\nEND:VCARD\r\n";
    const auto contacts = AddressBook(folder).contacts();
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].givenName, "Ada");
}
