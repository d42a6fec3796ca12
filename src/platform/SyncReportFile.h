#pragma once

#include "core/Desktop.h"

#include <string>

// The report of the last pass as a file readable by the user alone:
// $XDG_STATE_HOME/PeltwickImporter/last-sync.log (~/.local/state when XDG_STATE_HOME is unset or
// not absolute). Each report replaces the previous one in one step.
class SyncReportFile : public SyncReportStore {
public:
    static std::string defaultPath();

    explicit SyncReportFile(std::string path = defaultPath());

    std::optional<std::string> write(const std::string& report) override;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
