#pragma once

#include "core/Desktop.h"

#include <QSettings>

// The per-user settings in Qt's native format: ~/.config/Peltwick/PeltwickImporter.conf on Linux.
class QtSettingsStore : public SettingsStore {
public:
    QtSettingsStore();

    bool boolForKey(const std::string& key) override;
    void setBool(const std::string& key, bool value) override;
    std::optional<std::string> stringForKey(const std::string& key) override;
    void setString(const std::string& key, const std::string& value) override;

private:
    QSettings settings_;
};
