#pragma once

#include "core/ContactsImporter.h"

#include <exception>
#include <string>
#include <vector>

// The texts that tell the user how a pass went: the menu's last-sync line, the one message for a
// pass that failed, and the plain-text report of what the pass did with each contact.
namespace SyncReport {

// "Last sync <when>: 3 added, 2 already in your vault".
std::string lastSyncLine(const std::string& when, const ContactsImporter::Summary& summary);

// What the user is told when a pass ends in `error`: the server's refusal of the app password
// gets a text of its own, anything else its own description.
std::string failureText(const std::exception_ptr& error);

// Told when the address book refused access (stores of a sandboxed desktop may).
std::string accessDeniedText();

// The user-facing description of a caught error of any type.
std::string describe(const std::exception_ptr& error);

// The whole report: when, the server, the counts as the menu shows them, one line per contact in
// the pass's order, and the text of the error that ended the pass (empty when none).
std::string reportText(const std::string& when, const std::string& server, const ContactsImporter::Summary& summary,
                       const std::vector<ContactsImporter::Outcome>& outcomes, const std::string& error);

} // namespace SyncReport
