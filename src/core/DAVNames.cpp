#include "core/DAVNames.h"

#include "core/Text.h"

#include <cstring>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool staysUnencoded(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("-._~!$&'()*+,=:/@", c) != nullptr && c != '\0';
}

} // namespace

namespace DAVNames {

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!Text::isValidUTF8(out)) return std::nullopt;
    return out;
}

std::optional<std::string> percentEncodePath(std::string_view name) {
    if (!Text::isValidUTF8(name)) return std::nullopt;
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (staysUnencoded(byte)) {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
    }
    return out;
}

std::optional<std::string> contactFileName(std::string_view href) {
    const auto decoded = percentDecode(href);
    if (!decoded) return std::nullopt;
    std::string_view path = *decoded;
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    if (path.empty()) return std::nullopt;
    const auto slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!last.ends_with(".md")) return std::nullopt;
    return std::string(last);
}

} // namespace DAVNames
