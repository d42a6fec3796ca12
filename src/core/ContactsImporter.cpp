#include "ContactsImporter.h"
#include "DAVClient.h"
#include "Text.h"

#include <set>
#include <string_view>

// Person notes and the sync pass. A note's file name is the identity of a person in the vault:
// the pass only ever creates files whose names are free, so the naming rules below decide what
// counts as "already in your vault" and must stay stable from one version to the next.
namespace ContactsImporter {

namespace {

bool isStemChar(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Appends the stem made of a text that is already lower-cased: every run of characters outside
// a-z0-9 becomes one "-", with none at either end. Every byte of a multi-byte UTF-8 sequence is
// >= 0x80, so working on bytes gives the same runs as working on code points.
void appendStem(std::string& stem, std::string_view lowered) {
    bool pendingDash = false;
    for (const char ch : lowered) {
        const auto c = static_cast<unsigned char>(ch);
        if (isStemChar(c)) {
            if (pendingDash && !stem.empty())
                stem.push_back('-');
            pendingDash = false;
            stem.push_back(static_cast<char>(c));
        } else {
            pendingDash = true;
        }
    }
}

// Company: the organisation, trimmed; absent when nothing is left.
std::optional<std::string> companyOf(const Contact& contact) {
    std::string company = Text::trimSpaces(contact.organizationName);
    if (company.empty())
        return std::nullopt;
    return company;
}

// Title: the job title exactly as stored; a title of spaces only is still a title.
std::optional<std::string> titleOf(const Contact& contact) {
    if (contact.jobTitle.empty())
        return std::nullopt;
    return contact.jobTitle;
}

// E-mail: only the first address counts, trimmed; a blank first address gives no line even
// when later ones are filled.
std::optional<std::string> emailOf(const Contact& contact) {
    if (contact.emailAddresses.empty())
        return std::nullopt;
    std::string email = Text::trimSpaces(contact.emailAddresses.front());
    if (email.empty())
        return std::nullopt;
    return email;
}

// Phone: the first number's text as stored (an empty one is dropped by fm).
std::optional<std::string> phoneOf(const Contact& contact) {
    if (contact.phoneNumbers.empty())
        return std::nullopt;
    return contact.phoneNumbers.front();
}

} // namespace

/// The display name: given and family name, each trimmed, joined by one space when both are
/// there; a card without either is named by its trimmed organisation. None when all are blank.
std::optional<std::string> displayName(const Contact& contact) {
    std::string given = Text::trimSpaces(contact.givenName);
    const std::string family = Text::trimSpaces(contact.familyName);
    if (!given.empty() && !family.empty()) {
        given.reserve(given.size() + 1 + family.size());
        given.push_back(' ');
        given.append(family);
        return given;
    }
    if (!given.empty())
        return given;
    if (!family.empty())
        return family;
    return companyOf(contact);
}

/// The note text: "---", a quoted front-matter line per present field (name, company, title,
/// email, phone), "---", an empty line and the heading "# name". Only backslash, double quote
/// and line feed are rewritten in values; the heading carries the name unchanged.
std::string renderPerson(const std::string& name, const std::optional<std::string>& company,
                         const std::optional<std::string>& title, const std::optional<std::string>& email,
                         const std::optional<std::string>& phone) {
    // Appends `key: "value"` unless the value is absent or empty. Backslashes are doubled before
    // quotes are escaped, so the escaping backslashes are not doubled themselves.
    const auto fm = [](std::string& note, std::string_view key, const std::optional<std::string>& value) {
        if (!value || value->empty())
            return;
        note.append(key);
        note.append(": \"");
        for (const char c : *value) {
            switch (c) {
            case '\\':
                note.append("\\\\");
                break;
            case '"':
                note.append("\\\"");
                break;
            case '\n':
                note.push_back(' ');
                break;
            default:
                note.push_back(c);
            }
        }
        note.append("\"\n");
    };

    std::size_t size = 32 + 2 * name.size();
    for (const auto* field : {&company, &title, &email, &phone})
        size += *field ? (*field)->size() + 16 : 0;
    std::string note;
    note.reserve(size);
    note.append("---\n");
    fm(note, "name", name);
    fm(note, "company", company);
    fm(note, "title", title);
    fm(note, "email", email);
    fm(note, "phone", phone);
    note.append("---\n\n# ");
    note.append(name);
    note.push_back('\n');
    return note;
}

/// The file-name stem: the text lower-cased (full Unicode mapping, no normalisation), every run
/// of code points outside a-z0-9 replaced by one "-", dashes stripped from both ends, "person"
/// when nothing is left, and cut to 60 characters (the cut may leave a final "-"). Ill-formed
/// UTF-8 counts as characters outside a-z0-9.
std::string slug(const std::string& displayName) {
    bool ascii = true;
    for (const char c : displayName)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;

    std::string stem;
    if (ascii) {
        // Upper-case ASCII letters are the only ASCII characters that lower-casing changes.
        stem.reserve(displayName.size());
        bool pendingDash = false;
        for (const char ch : displayName) {
            auto c = static_cast<unsigned char>(ch);
            if (c >= 'A' && c <= 'Z')
                c = static_cast<unsigned char>(c - 'A' + 'a');
            if (isStemChar(c)) {
                if (pendingDash && !stem.empty())
                    stem.push_back('-');
                pendingDash = false;
                stem.push_back(static_cast<char>(c));
            } else {
                pendingDash = true;
            }
        }
    } else {
        const std::string lowered = Text::lowercase(displayName);
        stem.reserve(lowered.size());
        appendStem(stem, lowered);
    }
    if (stem.empty())
        return "person";
    if (stem.size() > 60)
        stem.resize(60);
    return stem;
}

std::string fileName(const std::string& displayName) { return slug(displayName) + ".md"; }

/// Asks the store for access to the contacts; the store's error passes through unchanged.
bool requestAccess(ContactStore& store) { return store.requestAccess(); }

/// One sync pass. The vault is listed before the address book is read, so a failing server
/// leaves the contacts untouched. A file name is claimed before its upload whatever the outcome,
/// so later contacts with the same name are skipped without a request. Any error ends the pass
/// unchanged; notes created before it stay and are found by the next pass's listing.
Summary sync(DAVClient& dav, ContactStore& store) {
    std::set<std::string> taken = dav.listContactFiles();
    const std::vector<Contact> contacts = store.contacts();

    Summary summary;
    summary.total = static_cast<std::int64_t>(contacts.size());
    for (const Contact& contact : contacts) {
        const std::optional<std::string> name = displayName(contact);
        if (!name) {
            ++summary.skipped;
            continue;
        }
        std::string file = fileName(*name);
        if (!taken.insert(file).second) {
            ++summary.skipped;
            continue;
        }
        const std::string note = renderPerson(*name, companyOf(contact), titleOf(contact), emailOf(contact),
                                              phoneOf(contact));
        if (dav.createFile(file, note))
            ++summary.added;
        else
            ++summary.skipped;
    }
    return summary;
}

} // namespace ContactsImporter
