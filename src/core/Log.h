#pragma once

#include <string>

// Warnings the user may need later (a failed pass, a keyring that could not be reached, a missing
// tray), one line each on standard error with the local time; a session started at login keeps
// them in its journal. Never given a credential or contact data.
namespace Log {

void warning(const std::string& message);

} // namespace Log
