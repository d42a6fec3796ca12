#include "core/CommandLineSync.h"

#include "core/AppDelegate.h"
#include "core/Log.h"
#include "core/SyncReport.h"

#include <stdexcept>

namespace CommandLineSync {

/// The same pass as the menu's "Sync Contacts Now", and the same texts: the last-sync line is
/// stored for the menu, the report replaces the previous one.
ExitStatus run(Services& services, std::ostream& out, bool verbose) {
    const CredentialRead read = services.keychain.readCredential();
    if (!read.credential) {
        out << (read.answer == CredentialRead::Answer::failed
                    ? "The keyring (Secret Service) did not answer, so the stored credential could not be read."
                    : "Not connected: the keyring holds no credential (or stays locked). Start Peltwick Importer "
                      "and choose Connect\u2026 in its menu.")
            << "\n";
        return notConnected;
    }
    const std::string server =
        services.settings.stringForKey(AppDelegate::serverURLKey).value_or(AppDelegate::defaultServerOrigin);
    ContactsImporter::Summary summary;
    std::vector<ContactsImporter::Outcome> outcomes;
    std::string failure;
    try {
        DAVClient client(server, read.credential->email, read.credential->password, services.davTimeouts);
        const std::unique_ptr<ContactStore> store =
            services.makeContactStore ? services.makeContactStore() : std::unique_ptr<ContactStore>();
        if (!store) throw std::runtime_error("No address book is available.");
        if (ContactsImporter::requestAccess(*store))
            summary = ContactsImporter::sync(client, *store, &outcomes);
        else
            failure = SyncReport::accessDeniedText();
    } catch (...) {
        failure = SyncReport::failureText(std::current_exception());
    }
    const std::string when = services.dates.shortDateTime(std::chrono::system_clock::now());
    const std::string report = SyncReport::reportText(when, server, summary, outcomes, failure);
    if (const auto problem = services.reports.write(report)) Log::warning("the sync report: " + *problem);
    if (failure.empty()) {
        const std::string line = SyncReport::lastSyncLine(when, summary);
        services.settings.setString(AppDelegate::lastSyncSummaryKey, line);
        out << line << "\n";
    } else {
        out << failure << "\n";
    }
    if (verbose) out << "\n" << report;
    return failure.empty() ? succeeded : failed;
}

} // namespace CommandLineSync
