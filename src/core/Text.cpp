#include "core/Text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <cstring>
#include <vector>

namespace {

// Decodes the code point at text[i], advancing i; ill-formed sequences give a negative value.
UChar32 next(std::string_view text, int32_t& i) {
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), c);
    return c;
}

template <typename Pred> std::string trimWith(std::string_view text, Pred isTrimmed) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    std::size_t begin = text.size();
    std::size_t end = 0;
    while (i < length) {
        const int32_t start = i;
        const UChar32 c = next(text, i);
        if (c < 0 || !isTrimmed(c)) {
            if (begin == text.size()) begin = static_cast<std::size_t>(start);
            end = static_cast<std::size_t>(i);
        }
    }
    if (begin >= end) return {};
    return std::string(text.substr(begin, end - begin));
}

} // namespace

namespace Text {

bool isValidUTF8(std::string_view text) {
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    while (i < length) {
        if (next(text, i) < 0) return false;
    }
    return true;
}

std::string toValidUTF8(std::string_view text) {
    if (isValidUTF8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (i < length) {
        const int32_t start = i;
        const UChar32 c = next(text, i);
        if (c < 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
    return out;
}

std::string trimSpaces(std::string_view text) {
    return trimWith(text, [](UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; });
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    return trimWith(text, [](UChar32 c) {
        if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
        const auto type = u_charType(c);
        return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
    });
}

std::string lowercase(std::string_view text) {
    const std::string valid = toValidUTF8(text);
    bool ascii = true;
    for (unsigned char c : valid)
        ascii = ascii && c < 0x80;
    if (ascii) {
        std::string out = valid;
        for (char& c : out)
            c = asciiLower(c);
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, valid.data(), static_cast<int32_t>(valid.size()), &status);
    status = U_ZERO_ERROR;
    std::vector<UChar> source(static_cast<std::size_t>(units) + 1);
    u_strFromUTF8(source.data(), units + 1, nullptr, valid.data(), static_cast<int32_t>(valid.size()), &status);
    // Full mappings can grow a text (U+0130 becomes two code points): size the buffer by asking first.
    status = U_ZERO_ERROR;
    const int32_t lowered = u_strToLower(nullptr, 0, source.data(), units, "", &status);
    status = U_ZERO_ERROR;
    std::vector<UChar> lower(static_cast<std::size_t>(lowered) + 1);
    u_strToLower(lower.data(), lowered + 1, source.data(), units, "", &status);
    status = U_ZERO_ERROR;
    int32_t bytes = 0;
    u_strToUTF8(nullptr, 0, &bytes, lower.data(), lowered, &status);
    status = U_ZERO_ERROR;
    std::string out(static_cast<std::size_t>(bytes), '\0');
    u_strToUTF8(out.data(), bytes, nullptr, lower.data(), lowered, &status);
    return out;
}

void wipe(std::string& text) noexcept {
    // explicit_bzero is not optimised away, though the string is about to be freed.
    explicit_bzero(text.data(), text.size());
    text.clear();
}

} // namespace Text
