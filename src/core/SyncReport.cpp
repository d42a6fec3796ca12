#include "core/SyncReport.h"

#include "core/DAVClient.h"

namespace {

// One line per contact whatever its name holds.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

std::string counts(const ContactsImporter::Summary& summary) {
    return std::to_string(summary.added) + " added, " + std::to_string(summary.skipped) + " already in your vault";
}

std::string outcomeLine(const ContactsImporter::Outcome& outcome) {
    using Kind = ContactsImporter::Outcome::Kind;
    const std::string who = oneLine(outcome.name);
    const std::string file = oneLine(outcome.fileName);
    switch (outcome.kind) {
    case Kind::added:
        return "added    " + file + " (" + who + ")";
    case Kind::noName:
        return "skipped  a contact without a name" + (who.empty() ? std::string() : " (" + who + ")");
    case Kind::inVault:
        return "skipped  " + file + " (" + who + "): a note of that name is already in the vault";
    case Kind::sameAsEarlier:
        return "skipped  " + file + " (" + who + "): an earlier contact of this sync, " + oneLine(outcome.earlier) +
               ", has that file name";
    case Kind::existsOnServer:
        return "skipped  " + file + " (" + who + "): the server said the file exists";
    }
    return {};
}

} // namespace

namespace SyncReport {

std::string lastSyncLine(const std::string& when, const ContactsImporter::Summary& summary) {
    return "Last sync " + when + ": " + counts(summary);
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unexpected error occurred.";
    }
}

std::string failureText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DAVClient::DAVError& e) {
        if (e.kind() == DAVClient::DAVError::notAuthorised)
            return "The app password was rejected \u2014 it may have been revoked. "
                   "Mint a new one on the peltwick setup page and Connect again.";
    } catch (...) {
    }
    return describe(error);
}

std::string accessDeniedText() {
    return "Contacts access was denied. Allow it in System Settings \u2192 Privacy & Security \u2192 Contacts.";
}

std::string reportText(const std::string& when, const std::string& server, const ContactsImporter::Summary& summary,
                       const std::vector<ContactsImporter::Outcome>& outcomes, const std::string& error) {
    std::string text = "Peltwick Importer: sync of " + when + "\nServer: " + oneLine(server) + "\n";
    text += error.empty() ? counts(summary) + "\n" : "The sync stopped with an error.\n";
    if (!outcomes.empty()) text += "\n";
    for (const auto& outcome : outcomes)
        text += outcomeLine(outcome) + "\n";
    if (!error.empty()) text += "\nError: " + oneLine(error) + "\n";
    return text;
}

} // namespace SyncReport
