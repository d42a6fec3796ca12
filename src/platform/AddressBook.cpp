#include "platform/AddressBook.h"

#include "platform/VCardFolderStore.h"

#ifdef PELTWICK_HAVE_EDS
#include "platform/EdsContactStore.h"
#endif

#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

AddressBook::AddressBook(std::filesystem::path vcardFolder) : vcardFolder_(std::move(vcardFolder)) {}

/// Built afresh for every access request and every pass; nothing is read until contacts().
std::unique_ptr<ContactStore> AddressBook::makeDefault() {
    return std::make_unique<AddressBook>(VCardFolderStore::defaultFolder());
}

/// Both sources are the user's own data: no permission to ask for.
bool AddressBook::requestAccess() {
    return true;
}

#ifdef PELTWICK_HAVE_EDS

/// The vCard folder first, in its own order, then each EDS address book by source UID, each
/// book's contacts by UID. A missing folder is fine while EDS has an address book that could be
/// read; with neither, the error names both places. An unreadable file in the folder stops the
/// pass, as its contacts would silently be missing.
std::vector<Contact> AddressBook::contacts() {
    std::error_code error;
    const bool folderMissing =
        std::filesystem::status(vcardFolder_, error).type() == std::filesystem::file_type::not_found;
    std::vector<Contact> all;
    if (!folderMissing) all = VCardFolderStore(vcardFolder_).contacts();

    EdsContactStore::Reading eds = EdsContactStore().read();
    all.insert(all.end(), std::make_move_iterator(eds.contacts.begin()), std::make_move_iterator(eds.contacts.end()));
    if (!folderMissing || eds.booksRead > 0) return all;

    const std::string folder = vcardFolder_.string();
    if (eds.failures.empty())
        throw std::runtime_error("No address book was found, neither in the folder " + folder +
                                 " (it does not exist) nor in GNOME's address book (Evolution Data Server).");
    std::string message = "No address book could be read: the folder " + folder +
                          " does not exist, and GNOME's address book (Evolution Data Server) failed:";
    for (std::size_t i = 0; i < eds.failures.size(); ++i) {
        std::string failure = std::move(eds.failures[i]);
        if (!failure.empty() && failure.back() == '.') failure.pop_back();
        message += (i == 0 ? " " : "; ") + failure;
    }
    throw std::runtime_error(message + ".");
}

#else

/// Without EDS the address book is the vCard folder alone.
std::vector<Contact> AddressBook::contacts() {
    return VCardFolderStore(vcardFolder_).contacts();
}

#endif
