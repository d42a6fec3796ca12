#pragma once

#include "core/ContactsImporter.h"
#include "platform/EdsContactStore.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

// The program's address book: the vCard folder and, in a build with Evolution Data Server, every
// enabled address book of GNOME's. One list in a stable order, so that names colliding across
// the sources are settled the same way in every pass.
class AddressBook : public ContactStore {
public:
    using EdsReader = std::function<EdsContactStore::Reading()>;

    // GNOME's address book is read through `readEds`: by default the module peltwick-eds.so, loaded
    // on the first read (its libraries are most of what the program would otherwise load at start),
    // from beside the program or from its install folder. Without the module there is no EDS.
    explicit AddressBook(std::filesystem::path vcardFolder, EdsReader readEds = moduleReader());
    static EdsReader moduleReader();

    // The user's address book: VCardFolderStore::defaultFolder() and the session's EDS.
    static std::unique_ptr<ContactStore> makeDefault();

    bool requestAccess() override;
    std::vector<Contact> contacts() override;

private:
    std::filesystem::path vcardFolder_;
    EdsReader readEds_;
};
