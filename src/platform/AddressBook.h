#pragma once

#include "core/ContactsImporter.h"

#include <filesystem>
#include <memory>
#include <vector>

// The program's address book: the vCard folder and, in a build with Evolution Data Server, every
// enabled address book of GNOME's. One list in a stable order, so that names colliding across
// the sources are settled the same way in every pass.
class AddressBook : public ContactStore {
public:
    explicit AddressBook(std::filesystem::path vcardFolder);

    // The user's address book: VCardFolderStore::defaultFolder() and the session's EDS.
    static std::unique_ptr<ContactStore> makeDefault();

    bool requestAccess() override;
    std::vector<Contact> contacts() override;

private:
    std::filesystem::path vcardFolder_;
};
