#pragma once

#include "core/Desktop.h"

#include <string>

// Start at login through an XDG autostart entry: $XDG_CONFIG_HOME/autostart/<id>.desktop
// (~/.config when XDG_CONFIG_HOME is unset), pointing at the running program. The folder is
// looked up at every call, so tests redirect it with XDG_CONFIG_HOME.
class XdgAutostart : public LoginItemService {
public:
    static constexpr int startDelaySeconds = 5;

    explicit XdgAutostart(std::string entryId, std::string displayName);

    // enabled when the entry is a regular file (or a link to one) not disabled by Hidden=true or
    // X-GNOME-Autostart-enabled=false; notRegistered otherwise.
    Status status() override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;

    std::string entryPath() const;
    // The entry's text for a program at the given absolute path.
    std::string entryText(const std::string& executable) const;
    // One argument of an Exec line: double-quoted, with the escapes that the Desktop Entry
    // format asks for inside quotes and then in a string value.
    static std::string quoteExecArgument(const std::string& argument);

private:
    std::string entryId_;
    std::string displayName_;
};
