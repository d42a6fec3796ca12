#include "ContactsImporter.h"
#include "DAVClient.h"
#include "Text.h"

#include <unicode/uchar.h>

#include <set>
#include <string_view>

// Person notes and the sync pass. A note's file name is the identity of a person in the vault:
// the pass only ever creates files whose names are free, so the naming rules below decide what
// counts as "already in your vault" and must stay stable from one version to the next.
namespace ContactsImporter {

namespace {

bool isStemChar(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

constexpr std::size_t maxStem = 60;

// Decodes the code point at text[i] and advances i past it. An ill-formed byte yields
// U+FFFD and is skipped on its own, so no ASCII byte is ever swallowed by a broken sequence.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    char32_t c = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0F;
        low = b0 == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = b0 == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07;
        low = b0 == 0xF0 ? 0x90 : 0x80;
        high = b0 == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    }
    if (length == 0 || text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            ++i;
            return 0xFFFD;
        }
    }
    for (std::size_t k = 1; k < length; ++k)
        c = (c << 6) | (byte(i + k) & 0x3F);
    i += length;
    return c;
}

// Builds a stem one lower-cased code point at a time: runs of anything outside a-z0-9 become one
// "-", held back until the next kept character, so the stem never starts or ends with one.
class StemBuilder {
public:
    StemBuilder() { stem_.reserve(maxStem + 1); }
    void keep(char c) {
        if (pendingDash_ && !stem_.empty()) stem_.push_back('-');
        pendingDash_ = false;
        stem_.push_back(c);
    }
    void drop() { pendingDash_ = true; }
    // Once the stem holds 60 characters, nothing later can change its first 60.
    bool full() const { return stem_.size() >= maxStem; }
    std::string finish() {
        if (stem_.empty()) return "person";
        if (stem_.size() > maxStem) stem_.resize(maxStem);
        return std::move(stem_);
    }

private:
    std::string stem_;
    bool pendingDash_ = false;
};

// Company: the organisation, trimmed; absent when nothing is left.
std::optional<std::string> companyOf(const Contact& contact) {
    std::string company = Text::trimSpaces(contact.organizationName);
    if (company.empty()) return std::nullopt;
    return company;
}

// Title: the job title exactly as stored; a title of spaces only is still a title.
std::optional<std::string> titleOf(const Contact& contact) {
    if (contact.jobTitle.empty()) return std::nullopt;
    return contact.jobTitle;
}

// E-mail: only the first address counts, trimmed; a blank first address gives no line even
// when later ones are filled.
std::optional<std::string> emailOf(const Contact& contact) {
    if (contact.emailAddresses.empty()) return std::nullopt;
    std::string email = Text::trimSpaces(contact.emailAddresses.front());
    if (email.empty()) return std::nullopt;
    return email;
}

// Phone: the first number's text as stored (an empty one is dropped by fm).
std::optional<std::string> phoneOf(const Contact& contact) {
    if (contact.phoneNumbers.empty()) return std::nullopt;
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
    if (!given.empty()) return given;
    if (!family.empty()) return family;
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
        if (!value || value->empty()) return;
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
///
/// Lower-casing goes code point by code point. The full mapping differs from the simple one only
/// for U+0130, which becomes "i" and U+0307, and for the final sigma, which stays outside a-z
/// either way; every other code point maps to one code point, and only that one can survive.
std::string slug(const std::string& displayName) {
    StemBuilder stem;
    std::size_t i = 0;
    while (i < displayName.size() && !stem.full()) {
        const auto byte = static_cast<unsigned char>(displayName[i]);
        if (byte < 0x80) {
            ++i;
            const char c = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : static_cast<char>(byte);
            if (isStemChar(static_cast<unsigned char>(c)))
                stem.keep(c);
            else
                stem.drop();
            continue;
        }
        const char32_t c = nextCodePoint(displayName, i);
        if (c == 0x130) {
            stem.keep('i');
            stem.drop();
            continue;
        }
        const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
        if (isStemChar(lower))
            stem.keep(static_cast<char>(lower));
        else
            stem.drop();
    }
    return stem.finish();
}

/// The note of a card: company, title, e-mail and phone derived from the card, then renderPerson.
std::string renderNote(const Contact& contact, const std::string& name) {
    return renderPerson(name, companyOf(contact), titleOf(contact), emailOf(contact), phoneOf(contact));
}

std::string fileName(const std::string& displayName) {
    std::string name = slug(displayName);
    name.append(".md");
    return name;
}

/// Asks the store for access to the contacts; the store's error passes through unchanged.
bool requestAccess(ContactStore& store) {
    return store.requestAccess();
}

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
        const std::string file = fileName(*name);
        if (!taken.insert(file).second) {
            ++summary.skipped;
            continue;
        }
        if (dav.createFile(file, renderNote(contact, *name)))
            ++summary.added;
        else
            ++summary.skipped;
    }
    return summary;
}

} // namespace ContactsImporter
