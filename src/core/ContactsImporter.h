#pragma once

#include "core/Contact.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DAVClient;

// Turns contacts into person notes and copies the missing ones into the vault.
namespace ContactsImporter {

struct Summary {
    std::int64_t total = 0;
    std::int64_t added = 0;
    std::int64_t skipped = 0;
};

// What a pass did with one contact, in the pass's order.
struct Outcome {
    enum class Kind {
        added,          // uploaded as `fileName`
        noName,         // no display name; `name` holds the first e-mail address or phone number, if any
        inVault,        // `fileName` was in the vault's listing
        sameAsEarlier,  // an earlier contact of this pass, `earlier`, got `fileName`
        existsOnServer, // the server answered that `fileName` exists (made after the listing)
    };
    Kind kind = Kind::added;
    std::string name; // the display name
    std::string fileName;
    std::string earlier;
};

// "Given Family" from the trimmed names, else the trimmed organisation; none when all are blank.
std::optional<std::string> displayName(const Contact& contact);

// The whole Markdown note: YAML front matter with the present fields, then "# name".
std::string renderPerson(const std::string& name, const std::optional<std::string>& company,
                         const std::optional<std::string>& title, const std::optional<std::string>& email,
                         const std::optional<std::string>& phone);

// The note of a card whose display name is `name`: company, title, e-mail and phone taken from
// the card as the pass does, then renderPerson.
std::string renderNote(const Contact& contact, const std::string& name);

// The file-name stem: 1 to 60 characters of a-z, 0-9 and "-".
std::string slug(const std::string& displayName);

// The note's file name, slug + ".md".
std::string fileName(const std::string& displayName);

bool requestAccess(ContactStore& store);

// One pass: list the vault, read every contact, upload the notes whose file names are free. When
// `outcomes` is given, what was done with each contact is appended to it as the pass goes, so it
// also tells how far a pass that ended in an error came.
Summary sync(DAVClient& dav, ContactStore& store, std::vector<Outcome>* outcomes = nullptr);

} // namespace ContactsImporter
