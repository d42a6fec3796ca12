#include "core/Keychain.h"

#include "core/Text.h"

namespace {

constexpr char lineFeed = '\n';
constexpr char carriageReturn = '\r';

// Splits the stored text into e-mail address and password. The text is read as user-perceived
// characters, so a carriage return directly followed by a line feed is one character and no
// separator; a line feed on its own always is one. Empty leading pieces are dropped; the first
// line feed after a non-empty piece ends it, and everything after that line feed, further line
// feeds included, is the password.
std::optional<Credential> splitCredential(const std::string& text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != lineFeed || (i > 0 && text[i - 1] == carriageReturn)) continue;
        if (i == start) { // an empty piece does not count
            start = i + 1;
            continue;
        }
        std::string password = text.substr(i + 1);
        if (password.empty()) return std::nullopt;
        return Credential{text.substr(start, i - start), std::move(password)};
    }
    return std::nullopt; // at most one piece
}

} // namespace

/// Stores the credential as one text: the e-mail address, a line feed, the password.
void Keychain::saveCredential(const std::string& email, const std::string& password) {
    save(email + lineFeed + password);
}

/// The stored credential, or nothing when there is none, it cannot be read, or its text does not
/// split into a non-empty e-mail address and a non-empty password.
std::optional<Credential> Keychain::loadCredential() {
    const auto text = load();
    if (!text) return std::nullopt;
    return splitCredential(*text);
}

/// Removes the item; removing when nothing is stored is harmless, and a failure is not reported.
void Keychain::deleteCredential() {
    (void)items_.remove();
}

/// Replaces the item's data in place, and creates the item only when the update says there is none.
/// Any other outcome of the update, success or failure, ends the save: a failed save shows only as
/// a missing credential at the next load.
void Keychain::save(const std::string& text) {
    if (items_.update(text) == SecItemStore::errSecItemNotFound) (void)items_.add(text);
}

/// The item's data as text; every failure, and data that is not UTF-8, reads as no text.
std::optional<std::string> Keychain::load() {
    std::string data;
    if (items_.copyMatching(data) != SecItemStore::errSecSuccess) return std::nullopt;
    if (!Text::isValidUTF8(data)) return std::nullopt;
    return data;
}
