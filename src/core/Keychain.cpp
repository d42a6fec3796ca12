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

/// Stores the credential as one text: the e-mail address, a line feed, the password. The item is
/// replaced in place, and created only when the update says there is none.
bool Keychain::saveCredential(const std::string& email, const std::string& password) {
    std::string text = email + lineFeed + password;
    int status = items_.update(text);
    if (status == SecItemStore::errSecItemNotFound) status = items_.add(text);
    Text::wipe(text);
    return status == SecItemStore::errSecSuccess;
}

/// The stored credential. Data that is not UTF-8, or that does not split into a non-empty e-mail
/// address and a non-empty password, reads as none, as does a keychain that is missing or stays
/// locked; only a failed or unanswered call leaves the question open.
CredentialRead Keychain::readCredential() {
    std::string data;
    const int status = items_.copyMatching(data);
    CredentialRead read;
    switch (status) {
    case SecItemStore::errSecSuccess:
        if (Text::isValidUTF8(data)) read.credential = splitCredential(data);
        read.answer = read.credential ? CredentialRead::Answer::stored : CredentialRead::Answer::none;
        break;
    case SecItemStore::errSecItemNotFound:
    case SecItemStore::errSecNotAvailable:
    case SecItemStore::errSecInteractionNotAllowed:
        read.answer = CredentialRead::Answer::none;
        break;
    default:
        read.answer = CredentialRead::Answer::failed;
    }
    Text::wipe(data);
    return read;
}

/// Removes the item; removing when nothing is stored is harmless, and a failure is not reported.
void Keychain::deleteCredential() {
    (void)items_.remove();
}
