#pragma once

#include "core/ContactsImporter.h"
#include "core/DAVClient.h"
#include "core/Desktop.h"
#include "core/Keychain.h"

#include <functional>
#include <memory>
#include <ostream>

// One pass from the command line (for cron or a systemd timer): the stored server address and
// credential, no tray and no dialogs. The outcome is printed and told by the exit status.
namespace CommandLineSync {

enum ExitStatus { succeeded = 0, failed = 1, notConnected = 2, alreadyRunning = 3 };

struct Services {
    SettingsStore& settings;
    DateFormatter& dates;
    Keychain& keychain;
    SyncReportStore& reports;
    std::function<std::unique_ptr<ContactStore>()> makeContactStore;
    DAVClient::Timeouts davTimeouts{};
};

// Runs the pass on the calling thread. Prints the last-sync line (which the menu then shows too)
// or the error on `out`, and with `verbose` the report of what the pass did.
ExitStatus run(Services& services, std::ostream& out, bool verbose);

} // namespace CommandLineSync
