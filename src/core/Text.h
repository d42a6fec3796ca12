#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Unicode text helpers shared by the notes, the WebDAV client, the credential store and the dialogs.
// All texts are UTF-8.
namespace Text {

bool isValidUTF8(std::string_view text);

// Replaces every ill-formed byte sequence by U+FFFD, so the result is valid UTF-8.
std::string toValidUTF8(std::string_view text);

// Removes tab and every Zs space character (U+0020, U+00A0, U+2000..U+200A, ...) from both ends.
// Line breaks are kept.
std::string trimSpaces(std::string_view text);

// Removes white space and line breaks from both ends: tab, every Z character,
// U+000A..U+000D and U+0085.
std::string trimWhitespaceAndNewlines(std::string_view text);

// Unicode default full lower-case mapping, independent of the user's locale
// (U+0130 becomes "i" followed by U+0307). Invalid UTF-8 is repaired first.
std::string lowercase(std::string_view text);

// ASCII letters only, for words that are ASCII by definition (header and charset names, hosts,
// vCard keywords): other bytes stay as they are.
constexpr char asciiLower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

// Overwrites the text's bytes with zeros before it goes (a password's copy), then empties it.
void wipe(std::string& text) noexcept;

} // namespace Text
