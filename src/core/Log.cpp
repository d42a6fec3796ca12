#include "core/Log.h"

#include <cstdio>
#include <ctime>

namespace Log {

void warning(const std::string& message) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One write per line, so lines of two threads do not interleave.
    std::fprintf(stderr, "%s PeltwickImporter: %s\n", stamp, message.c_str());
}

} // namespace Log
