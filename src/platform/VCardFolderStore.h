#pragma once

#include "core/ContactsImporter.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The address book as a folder of vCard files: the layout of KDE's address book and of CardDAV
// sync tools (a folder per address book, a .vcf file per contact), and of any exported .vcf file.
class VCardFolderStore : public ContactStore {
public:
    explicit VCardFolderStore(std::filesystem::path folder);

    // $XDG_DATA_HOME/contacts, or ~/.local/share/contacts when XDG_DATA_HOME is unset or not absolute.
    static std::filesystem::path defaultFolder();

    // The largest contact file read. An exported address book with photos runs to some hundred
    // megabytes; a larger file is an error rather than a reason to exhaust memory.
    static constexpr std::size_t maxFileBytes = std::size_t{1} << 30;

    // The memory the contacts read may take: three times the size of the files read so far, plus
    // this. Cards as address books write them, a few hundred bytes each, count two or three times
    // their size; only hundreds of thousands of tiny cards go past it, and reading them is then an
    // error rather than a reason to exhaust memory.
    static constexpr std::size_t memoryAllowance = std::size_t{128} << 20;

    const std::filesystem::path& folder() const { return folder_; }

    bool requestAccess() override;
    std::vector<Contact> contacts() override;

    // Every .vcf file under the folder, sorted by path byte-wise; throws when the folder is missing
    // or a subfolder cannot be read.
    std::vector<std::filesystem::path> contactFiles() const;

private:
    std::filesystem::path folder_;
};
