// Fuzz target for the listing parser, with the real bounds and small ones: a body in pieces gives
// what it gives whole (names, bound, memory), within the memory bound, and names a note can have.
#include "core/DAVNames.h"
#include "core/HrefCollector.h"

#include <cstdint>
#include <cstdlib>

static void readWholeAndInPieces(std::string_view body, std::size_t piece, const HrefCollector::Limits& limits) {
    HrefCollector whole(limits), pieces(limits);
    whole.feed(body);
    whole.finish();
    for (std::size_t at = 0; at < body.size(); at += piece)
        pieces.feed(body.substr(at, piece));
    pieces.finish();
    if (pieces.names() != whole.names() || pieces.bound() != whole.bound() || pieces.peakBytes() != whole.peakBytes() ||
        whole.peakBytes() > limits.maxBytes)
        std::abort();
    for (const auto& name : whole.names()) {
        const auto encoded = DAVNames::percentEncodePath(name); // none when the name is no UTF-8
        if (!name.ends_with(".md") || name.find('/') != std::string::npos || !encoded ||
            DAVNames::percentDecode(*encoded) != name)
            std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::size_t piece = size ? data[size - 1] % 97 + 1 : 1;
    readWholeAndInPieces(body, piece, {});
    readWholeAndInPieces(body, piece,
                         {.maxTokenBytes = size ? data[0] % 61 + 4u : 4u, .maxDepth = 6, .derivedAllowance = 16});
    return 0;
}
