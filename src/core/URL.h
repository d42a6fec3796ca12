#pragma once

#include <optional>
#include <string>

// An absolute URL as the settings and the server dialog handle it.
struct URL {
    std::string scheme;   // as written, e.g. "https"
    std::string host;     // empty when the URL has none
    std::string absolute; // the whole URL written back out

    // Parses an absolute URL of any scheme; nullopt for text that is no URL.
    static std::optional<URL> parse(const std::string& text);
};
