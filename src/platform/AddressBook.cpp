#include "platform/AddressBook.h"

#include "core/Log.h"
#include "platform/VCardFolderStore.h"

#include <dlfcn.h>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

AddressBook::AddressBook(std::filesystem::path vcardFolder, EdsReader readEds)
    : vcardFolder_(std::move(vcardFolder)), readEds_(std::move(readEds)) {}

/// Finds and loads the module once per process; every read after that goes straight to it.
AddressBook::EdsReader AddressBook::moduleReader() {
#ifdef PELTWICK_HAVE_EDS
    using Entry = void (*)(long long, EdsContactStore::Reading*);
    static const Entry entry = []() -> Entry {
        std::error_code error;
        const auto program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
        for (const auto& path : {program / "peltwick-eds.so", program / PELTWICK_EDS_MODULE_DIR / "peltwick-eds.so"}) {
            void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (void* found = module ? ::dlsym(module, "peltwick_read_eds") : nullptr)
                return reinterpret_cast<Entry>(found);
        }
        const char* why = ::dlerror();
        Log::warning(std::string("GNOME's address book is not read: ") + (why ? why : "its module is missing"));
        return nullptr;
    }();
    if (entry)
        return [] {
            EdsContactStore::Reading reading;
            entry(EdsContactStore::defaultBookTimeout.count(), &reading);
            return reading;
        };
#endif
    return [] { return EdsContactStore::Reading{}; };
}

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

    EdsContactStore::Reading eds = readEds_();
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
