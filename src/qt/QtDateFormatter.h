#pragma once

#include "core/Desktop.h"

// Short date and short time in the system locale, e.g. "12/6/26 9:41 AM" or "06.12.26 09:41".
class QtDateFormatter : public DateFormatter {
public:
    std::string shortDateTime(std::chrono::system_clock::time_point when) override;
};
