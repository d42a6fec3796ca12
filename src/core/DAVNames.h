#pragma once

#include <optional>
#include <string>
#include <string_view>

// The names shared by the listing and the upload: how hrefs become note file names, and how a
// note file name goes into a request path.
namespace DAVNames {

// Undoes percent-encoding ("%" and two hex digits of either case; "+" stays). None when an escape
// is broken or the decoded bytes are not valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

// Encodes a name for a URL path: letters, digits and - . _ ~ ! $ & ' ( ) * + , = : / @ stay,
// every other byte becomes "%" and two upper-case hex digits. None when name is not valid UTF-8.
std::optional<std::string> percentEncodePath(std::string_view name);

// The file name an href stands for: the last non-empty piece of the decoded path when it ends
// in ".md"; none otherwise. The listing parser (HrefCollector) keeps these as the hrefs arrive.
std::optional<std::string> contactFileName(std::string_view href);

} // namespace DAVNames
