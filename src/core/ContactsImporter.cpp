#include "core/ContactsImporter.h"
#include "core/DAVClient.h"
#include "core/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <map>
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

using Field = std::optional<std::string_view>;

// The text without tab and Zs spaces at its ends. Most texts have an ASCII letter or digit at
// both ends and are returned as they are; only the others are copied and trimmed into `storage`.
std::string_view trimmed(std::string_view text, std::string& storage) {
    const auto keeps = [](char c) { return c != ' ' && c != '\t' && static_cast<unsigned char>(c) < 0x80; };
    if (text.empty() || (keeps(text.front()) && keeps(text.back()))) return text;
    storage = Text::trimSpaces(text);
    return storage;
}

Field present(std::string_view text) {
    if (text.empty()) return std::nullopt;
    return text;
}

// Appends `key: "value"` unless the value is absent or empty. Backslashes are doubled before
// quotes are escaped, so the escaping backslashes are not doubled themselves; a line feed
// becomes a space. Everything else passes unchanged.
void fm(std::string& note, std::string_view key, Field value) {
    if (!value || value->empty()) return;
    note.append(key);
    note.append(": \"");
    const std::string_view text = *value;
    std::size_t run = 0; // start of the stretch not yet appended
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' && c != '"' && c != '\n') continue;
        note.append(text.substr(run, i - run));
        note.append(c == '\\' ? "\\\\" : c == '"' ? "\\\"" : " ");
        run = i + 1;
    }
    note.append(text.substr(run));
    note.append("\"\n");
}

std::string render(std::string_view name, Field company, Field title, Field email, Field phone) {
    std::size_t size = 32 + 2 * name.size();
    for (const Field& field : {company, title, email, phone})
        size += field ? field->size() + 16 : 0;
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
    // The vault stores UTF-8: a card with ill-formed bytes still gets a readable note, with
    // U+FFFD in their place.
    if (!Text::isValidUTF8(note)) return Text::toValidUTF8(note);
    return note;
}

} // namespace

/// The display name: given and family name, each trimmed, joined by one space when both are
/// there; a card without either is named by its trimmed organisation. None when all are blank.
std::optional<std::string> displayName(const Contact& contact) {
    std::string givenStorage, familyStorage;
    const std::string_view given = trimmed(contact.givenName, givenStorage);
    const std::string_view family = trimmed(contact.familyName, familyStorage);
    if (!given.empty() && !family.empty()) {
        std::string name;
        name.reserve(given.size() + 1 + family.size());
        name.append(given);
        name.push_back(' ');
        name.append(family);
        return name;
    }
    if (!given.empty()) return std::string(given);
    if (!family.empty()) return std::string(family);
    std::string organizationStorage;
    const std::string_view organization = trimmed(contact.organizationName, organizationStorage);
    if (organization.empty()) return std::nullopt;
    return std::string(organization);
}

/// The note text: "---", a quoted front-matter line per present field (name, company, title,
/// email, phone), "---", an empty line and the heading "# name". The heading carries the name
/// unescaped, so a line feed in a name makes it span two lines. The result is always UTF-8.
std::string renderPerson(const std::string& name, const std::optional<std::string>& company,
                         const std::optional<std::string>& title, const std::optional<std::string>& email,
                         const std::optional<std::string>& phone) {
    const auto view = [](const std::optional<std::string>& text) -> Field {
        if (!text) return std::nullopt;
        return std::string_view(*text);
    };
    return render(name, view(company), view(title), view(email), view(phone));
}

/// The note of a card. Company: the organisation, trimmed. Title: the job title as stored, so
/// one of spaces only is still written. E-mail: the first address, trimmed; a blank first address
/// gives no line even when later ones are filled. Phone: the first number as stored. Any field
/// that comes out empty gets no line.
std::string renderNote(const Contact& contact, const std::string& name) {
    std::string companyStorage, emailStorage;
    const Field company = present(trimmed(contact.organizationName, companyStorage));
    const Field email =
        contact.emailAddresses.empty() ? Field{} : present(trimmed(contact.emailAddresses.front(), emailStorage));
    const Field phone = contact.phoneNumbers.empty() ? Field{} : Field{contact.phoneNumbers.front()};
    return render(name, company, present(contact.jobTitle), email, phone);
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
    // ICU counts in int32_t: a name is read up to 2 GiB, far past the 60 characters that count.
    const auto length = static_cast<int32_t>(std::min<std::size_t>(displayName.size(), INT32_MAX));
    std::size_t i = 0;
    while (i < static_cast<std::size_t>(length) && !stem.full()) {
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
        // ICU's decoder: an ill-formed sequence never swallows the ASCII byte after it.
        UChar32 c = 0;
        auto index = static_cast<int32_t>(i);
        U8_NEXT(reinterpret_cast<const uint8_t*>(displayName.data()), index, length, c);
        i = static_cast<std::size_t>(index);
        if (c < 0) {
            stem.drop();
            continue;
        }
        if (c == 0x130) {
            stem.keep('i');
            stem.drop();
            continue;
        }
        const auto lower = static_cast<char32_t>(u_tolower(c));
        if (isStemChar(lower))
            stem.keep(static_cast<char>(lower));
        else
            stem.drop();
    }
    return stem.finish();
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

/// One sync pass. The vault is listed before the address book is read, so a failed listing
/// ends the pass before the store is opened. A file name is claimed before its upload whatever the
/// outcome, so later contacts with the same name are skipped without a request. Any error ends the
/// pass unchanged; notes created before it stay and are found by the next pass's listing.
Summary sync(DAVClient& dav, ContactStore& store, std::vector<Outcome>* outcomes) {
    const std::set<std::string> listed = dav.listContactFiles();
    const std::vector<Contact> contacts = store.contacts();

    std::map<std::string, std::string> claimed; // file name -> the contact of this pass that took it
    const auto record = [&](Outcome::Kind kind, std::string name, std::string file, std::string earlier = {}) {
        if (outcomes) outcomes->push_back({kind, std::move(name), std::move(file), std::move(earlier)});
    };
    Summary summary;
    summary.total = static_cast<std::int64_t>(contacts.size());
    for (const Contact& contact : contacts) {
        const std::optional<std::string> name = displayName(contact);
        if (!name) {
            ++summary.skipped;
            const auto& hints = contact.emailAddresses.empty() ? contact.phoneNumbers : contact.emailAddresses;
            record(Outcome::Kind::noName, hints.empty() ? std::string() : hints.front(), {});
            continue;
        }
        std::string file = fileName(*name);
        if (listed.count(file)) {
            ++summary.skipped;
            record(Outcome::Kind::inVault, *name, std::move(file));
            continue;
        }
        const auto [earlier, isNew] = claimed.try_emplace(file, *name);
        if (!isNew) {
            ++summary.skipped;
            record(Outcome::Kind::sameAsEarlier, *name, std::move(file), earlier->second);
            continue;
        }
        const bool created = dav.createFile(file, renderNote(contact, *name));
        ++(created ? summary.added : summary.skipped);
        record(created ? Outcome::Kind::added : Outcome::Kind::existsOnServer, *name, std::move(file));
    }
    return summary;
}

} // namespace ContactsImporter
