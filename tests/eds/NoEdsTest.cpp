// The address book without GNOME's: under with-eds.sh --no-bus and --no-eds, and in builds without EDS.
#include "platform/AddressBook.h"

#include <gmock/gmock.h>

#include <fstream>

TEST(NoEds, ReadsNothingQuicklyAndWithoutErrorAndTheFolderStillCounts) {
#ifdef PELTWICK_HAVE_EDS
    const AddressBook::EdsReader readEds = [] { return EdsContactStore().read(); }; // as the program's module does
#else
    const AddressBook::EdsReader readEds = AddressBook::moduleReader(); // none without EDS
#endif
    const std::filesystem::path folder = std::filesystem::path(std::getenv("HOME")) / "contacts";
    const auto start = std::chrono::steady_clock::now(); // the error tells that EDS read no book and no failure
    EXPECT_THAT([&] { AddressBook(folder, readEds).contacts(); },
                testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr("No address book was found")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)); // only catches a hang
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "ada.vcf") << "BEGIN:VCARD\r\nN:King;Ada;;;\r\nEND:VCARD\r\n";
    EXPECT_EQ(AddressBook(folder, readEds).contacts().size(), 1u);
}
