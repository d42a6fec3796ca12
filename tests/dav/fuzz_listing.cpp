// Fuzz target for the listing parser: whole response bodies through the href collector and the
// name rules. Feeding a body in pieces (as the socket gives it) must give what the whole body
// gives, and every name it yields must be one a note could be stored and uploaded under.
#include "core/DAVNames.h"
#include "core/HrefCollector.h"
#include "core/Text.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto whole = HrefCollector::collect(body);
    HrefCollector pieces;
    const std::size_t piece = size ? data[size - 1] % 97 + 1 : 1;
    for (std::size_t at = 0; at < size; at += piece)
        pieces.feed(body.substr(at, piece));
    pieces.finish();
    if (pieces.hrefs() != whole) std::abort();
    for (const auto& href : whole)
        if (!Text::isValidUTF8(href)) std::abort();
    for (const auto& name : DAVNames::contactFileNames(whole)) {
        const auto encoded = DAVNames::percentEncodePath(name); // encoding and decoding again is lossless
        if (name.size() < 3 || !name.ends_with(".md") || name.find('/') != std::string::npos ||
            !Text::isValidUTF8(name) || !encoded || DAVNames::percentDecode(*encoded) != name)
            std::abort();
    }
    return 0;
}
