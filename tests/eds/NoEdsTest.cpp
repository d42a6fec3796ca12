// The address book where GNOME's is not to be had: run under tests/scripts/with-eds.sh --no-bus
// (no session bus) and --no-eds (a bus on which EDS is not installed), and in a build without EDS.
#include "platform/AddressBook.h"
#ifdef PELTWICK_HAVE_EDS
#include "platform/EdsContactStore.h"
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(NoEds, ReadsNothingQuicklyAndWithoutErrorAndTheFolderStillCounts) {
#ifdef PELTWICK_HAVE_EDS
    const auto start = std::chrono::steady_clock::now();
    EdsContactStore::Reading reading;
    EXPECT_NO_THROW(reading = EdsContactStore().read());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reading.booksListed, 0u);
    EXPECT_TRUE(reading.failures.empty());
    EXPECT_TRUE(reading.contacts.empty());
    // A few milliseconds in practice; the bound only catches a hang.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    std::printf("EDS looked for in %.1f ms\n", std::chrono::duration<double, std::milli>(elapsed).count());
    EXPECT_NO_THROW(EXPECT_TRUE(EdsContactStore().contacts().empty()));
#endif

    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const fs::path folder = fs::path(home) / "contacts";
    try {
        AddressBook(folder).contacts();
        ADD_FAILURE() << "no error without any address book";
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(folder.string()), std::string::npos) << message;
#ifdef PELTWICK_HAVE_EDS
        EXPECT_NE(message.find("GNOME's address book (Evolution Data Server)"), std::string::npos) << message;
#endif
    }

    fs::create_directories(folder);
    std::ofstream(folder / "ada.vcf") << "BEGIN:VCARD\r\nVERSION:3.0\r\nN:King;Ada;;;\r\nEND:VCARD\r\n";
    std::vector<Contact> contacts;
    EXPECT_NO_THROW(contacts = AddressBook(folder).contacts());
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].givenName, "Ada");
}

} // namespace
