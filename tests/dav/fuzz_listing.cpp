// Fuzz target for the listing parser: whole response bodies through the href collector. Feeding a
// body in pieces (as the socket gives it) must give what the whole body gives (the names, the bound
// passed and the memory counted), with the real bounds and with small ones (which this size of
// input reaches: tokens, nesting, attributes added by a DTD), and every name must be one a note
// could be stored and uploaded under.
#include "core/DAVNames.h"
#include "core/HrefCollector.h"
#include "core/Text.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void readWholeAndInPieces(std::string_view body, std::size_t piece, const HrefCollector::Limits& limits) {
    HrefCollector whole(limits);
    whole.feed(body);
    whole.finish();
    HrefCollector pieces(limits);
    for (std::size_t at = 0; at < body.size(); at += piece)
        pieces.feed(body.substr(at, piece));
    pieces.finish();
    if (pieces.names() != whole.names() || pieces.bound() != whole.bound() || pieces.peakBytes() != whole.peakBytes())
        std::abort();
    // The memory bound counts what is held, and the parser held nothing beyond it.
    if (whole.peakBytes() > limits.maxBytes) std::abort();
    for (const auto& name : whole.names()) {
        const auto encoded = DAVNames::percentEncodePath(name); // encoding and decoding again is lossless
        if (name.size() < 3 || !name.ends_with(".md") || name.find('/') != std::string::npos ||
            !Text::isValidUTF8(name) || !encoded || DAVNames::percentDecode(*encoded) != name)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::size_t piece = size ? data[size - 1] % 97 + 1 : 1;
    readWholeAndInPieces(body, piece, {});
    HrefCollector::Limits small;
    small.maxTokenBytes = size ? data[0] % 61 + 4 : 4;
    small.maxDepth = 6;
    small.derivedAllowance = 16;
    readWholeAndInPieces(body, piece, small);
    return 0;
}
