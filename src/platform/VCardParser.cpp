#include "platform/VCardParser.h"

#include "core/Text.h"

#include <unicode/ucnv.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

// A reader for the vCard files met in practice (versions 2.1, 3.0 and 4.0, as written by phones,
// mail programs and desktop address books), not a validator. It reads only the properties a person
// note needs and skips everything else without decoding it, so photos cost a scan for line ends.
// Lines are unfolded and QUOTED-PRINTABLE is decoded on bytes, before any charset decoding, because
// folds and soft line breaks often split a multi-byte character.
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool endsWithEquals(std::string_view line) {
    return !line.empty() && line.back() == '=';
}

// The physical lines of a file. A line ends at LF, with any CRs before it dropped (CRLF, and the
// CR CR LF of some phone exports); a file without any LF is taken to use bare CRs.
class LineReader {
public:
    explicit LineReader(std::string_view data)
        : data_(data), lineEnd_(std::memchr(data.data(), '\n', data.size()) ? '\n' : '\r') {}

    bool hasNext() const { return pos_ < data_.size(); }

    // A following line that starts with a space or a tab continues the current one.
    bool nextIsFold() const { return pos_ < data_.size() && isBlank(data_[pos_]); }

    std::string_view next() {
        const std::size_t start = pos_;
        const void* hit = std::memchr(data_.data() + start, lineEnd_, data_.size() - start);
        const std::size_t stop =
            hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data_.data()) : data_.size();
        pos_ = hit ? stop + 1 : data_.size();
        std::size_t end = stop;
        while (lineEnd_ == '\n' && end > start && data_[end - 1] == '\r')
            --end;
        return data_.substr(start, end - start);
    }

private:
    std::string_view data_;
    char lineEnd_;
    std::size_t pos_ = 0;
};

// "group.NAME;params:value", split into views of the line.
struct Property {
    std::string_view name; // without the group prefix
    std::string_view params;
    std::string_view value;
};

// Splits a content line at its first colon outside a quoted parameter value. None when the
// line has no colon at all (a stray line, a bare base64 line).
std::optional<Property> splitLine(std::string_view line) {
    const std::size_t nameEnd = line.find_first_of(";:");
    if (nameEnd == std::string_view::npos) return std::nullopt;
    std::size_t colon = nameEnd;
    if (line[nameEnd] == ';') {
        colon = std::string_view::npos;
        for (std::size_t i = nameEnd + 1; i < line.size(); ++i) {
            if (line[i] == ':') {
                colon = i;
                break;
            }
            if (line[i] == '"') {
                // An unclosed quote is taken literally, so it cannot swallow the whole line.
                const std::size_t close = line.find('"', i + 1);
                if (close != std::string_view::npos) i = close;
            }
        }
        if (colon == std::string_view::npos) return std::nullopt;
    }
    Property property;
    std::string_view name = line.substr(0, nameEnd);
    if (name.substr(0, 3) == "\xEF\xBB\xBF") // a byte-order mark left by concatenated files
        name.remove_prefix(3);
    name = trimBlanks(name);
    if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    property.name = name;
    if (colon > nameEnd) property.params = line.substr(nameEnd + 1, colon - nameEnd - 1);
    property.value = line.substr(colon + 1);
    return property;
}

struct Params {
    bool quotedPrintable = false;
    bool base64 = false;
    std::string charset;
};

std::string_view unquote(std::string_view value) {
    value = trimBlanks(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
    return value;
}

void readEncoding(std::string_view value, Params& params) {
    if (equalsIgnoreCase(value, "QUOTED-PRINTABLE"))
        params.quotedPrintable = true;
    else if (equalsIgnoreCase(value, "BASE64") || equalsIgnoreCase(value, "B"))
        params.base64 = true;
}

// Reads ENCODING and CHARSET, also in vCard 2.1's bare form (TEL;HOME;QUOTED-PRINTABLE).
Params readParams(std::string_view text) {
    Params params;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '"') quoted = !quoted;
        if (i < text.size() && (quoted || text[i] != ';')) continue;
        const std::string_view param = trimBlanks(text.substr(start, i - start));
        start = i + 1;
        const std::size_t eq = param.find('=');
        if (eq == std::string_view::npos) {
            readEncoding(param, params);
            continue;
        }
        const std::string_view key = trimBlanks(param.substr(0, eq));
        const std::string_view value = unquote(param.substr(eq + 1));
        if (equalsIgnoreCase(key, "ENCODING"))
            readEncoding(value, params);
        else if (equalsIgnoreCase(key, "CHARSET"))
            params.charset = std::string(value);
    }
    return params;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char upper = asciiUpper(c);
    if (upper >= 'A' && upper <= 'F') return upper - 'A' + 10;
    return -1;
}

// Soft line breaks are already joined; a "=" not followed by two hex digits stays as it is.
std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Characters outside the alphabet (padding, white space) are passed over.
std::string decodeBase64(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const int value = base64Value(c);
        if (value < 0) continue;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

using Converter = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

// Decodes bytes in the named charset through ICU; none when ICU does not know the charset.
std::optional<std::string> convertToUTF8(std::string_view bytes, const char* charset) {
    UErrorCode status = U_ZERO_ERROR;
    // Only names in ICU's alias table: opening an unknown name would look for a data file each time.
    if (ucnv_countAliases(charset, &status) == 0 || U_FAILURE(status)) return std::nullopt;
    Converter converter(ucnv_open(charset, &status), ucnv_close);
    if (U_FAILURE(status) || !converter) return std::nullopt;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
    const auto length = static_cast<int32_t>(bytes.size());
    status = U_ZERO_ERROR;
    const int32_t needed = ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), nullptr, 0, bytes.data(), length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
    std::string out(static_cast<std::size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), out.data(), needed, bytes.data(), length, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return Text::toValidUTF8(out);
}

// Texts of a value in a named charset. UTF-16 and UTF-32 cannot stand in a line of a text file,
// so such a name is a mistake and the bytes are read as UTF-8.
std::string decodeCharset(std::string_view bytes, const std::string& charset) {
    if (!charset.empty() && !equalsIgnoreCase(charset, "UTF-8") && !equalsIgnoreCase(charset, "UTF8") &&
        !startsWithIgnoreCase(charset, "UTF-16") && !startsWithIgnoreCase(charset, "UTF-32") &&
        !startsWithIgnoreCase(charset, "UCS-")) {
        if (auto converted = convertToUTF8(bytes, charset.c_str())) return std::move(*converted);
    }
    return Text::toValidUTF8(bytes);
}

// The text of a value: transfer encoding undone, then the charset decoded. In a file that was
// UTF-16 the bytes are already UTF-8, whatever CHARSET says.
std::string decodeValue(std::string_view raw, const Params& params, bool unicodeFile) {
    std::string bytes;
    if (params.quotedPrintable)
        bytes = decodeQuotedPrintable(raw);
    else if (params.base64)
        bytes = decodeBase64(raw);
    const std::string_view source = (params.quotedPrintable || params.base64) ? std::string_view(bytes) : raw;
    return decodeCharset(source, unicodeFile ? std::string() : params.charset);
}

// Undoes the backslash escapes (\n and \N a line feed, \, \; \: \\ the character) and, when
// `components` is given, splits at every unescaped ";". An unknown escape is kept as written.
std::string unescape(std::string_view text, std::vector<std::string>* components = nullptr) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ';' && components) {
            components->push_back(std::move(out));
            out.clear();
        } else if (c == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            if (next == 'n' || next == 'N')
                out += '\n';
            else if (next == ',' || next == ';' || next == ':' || next == '\\')
                out += next;
            else {
                out += '\\';
                out += next;
            }
        } else {
            out += c;
        }
    }
    if (components) {
        components->push_back(std::move(out));
        return {};
    }
    return out;
}

enum class Kind { other, begin, end, n, fn, org, title, email, tel, kind };

Kind classify(std::string_view name) {
    static constexpr std::pair<std::string_view, Kind> known[] = {
        {"BEGIN", Kind::begin}, {"END", Kind::end},
        {"N", Kind::n},         {"FN", Kind::fn},
        {"ORG", Kind::org},     {"TITLE", Kind::title},
        {"EMAIL", Kind::email}, {"TEL", Kind::tel},
        {"KIND", Kind::kind},   {"X-ADDRESSBOOKSERVER-KIND", Kind::kind},
    };
    for (const auto& [text, kind] : known) {
        if (equalsIgnoreCase(name, text)) return kind;
    }
    return Kind::other;
}

struct Card {
    Contact contact;
    std::optional<std::string> formattedName;
    bool hasName = false;
    bool hasOrganization = false;
    bool hasTitle = false;
    bool isGroup = false;
    bool hasProperties = false;
};

void apply(Card& card, Kind kind, std::string text) {
    card.hasProperties = true;
    switch (kind) {
    case Kind::n:
        if (!card.hasName) {
            card.hasName = true;
            std::vector<std::string> parts;
            unescape(text, &parts);
            card.contact.familyName = std::move(parts[0]);
            if (parts.size() > 1) card.contact.givenName = std::move(parts[1]);
        }
        break;
    case Kind::fn:
        if (!card.formattedName) card.formattedName = unescape(text);
        break;
    case Kind::org:
        if (!card.hasOrganization) {
            card.hasOrganization = true;
            std::vector<std::string> parts;
            unescape(text, &parts);
            card.contact.organizationName = std::move(parts[0]);
        }
        break;
    case Kind::title:
        if (!card.hasTitle) {
            card.hasTitle = true;
            card.contact.jobTitle = unescape(text);
        }
        break;
    case Kind::email:
        card.contact.emailAddresses.push_back(unescape(text));
        break;
    case Kind::tel: {
        std::string number = unescape(text);
        if (startsWithIgnoreCase(number, "tel:")) number.erase(0, 4);
        card.contact.phoneNumbers.push_back(std::move(number));
        break;
    }
    case Kind::kind:
        if (equalsIgnoreCase(trimBlanks(text), "group")) card.isGroup = true;
        break;
    default:
        break;
    }
}

// A card with only a formatted name still gets a note: FN stands in for an empty or missing N.
Contact finish(Card&& card) {
    Contact contact = std::move(card.contact);
    if (card.formattedName && Text::trimSpaces(contact.givenName).empty() &&
        Text::trimSpaces(contact.familyName).empty())
        contact.givenName = std::move(*card.formattedName);
    return contact;
}

// Whole files in UTF-16 or UTF-32 (some Windows exports) are turned into UTF-8 first.
std::optional<std::string> transcodeWideFile(std::string_view& bytes) {
    const auto startsWith = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
    struct Wide {
        std::string_view bom;
        const char* charset;
    };
    static constexpr Wide wides[] = {
        {std::string_view("\xFF\xFE\x00\x00", 4), "UTF-32LE"},
        {std::string_view("\x00\x00\xFE\xFF", 4), "UTF-32BE"},
        {"\xFF\xFE", "UTF-16LE"},
        {"\xFE\xFF", "UTF-16BE"},
    };
    for (const auto& wide : wides) {
        if (startsWith(wide.bom)) return convertToUTF8(bytes.substr(wide.bom.size()), wide.charset);
    }
    // Without a mark, "B\0E\0" or "\0B\0E" gives UTF-16 away.
    if (bytes.size() >= 4 && bytes[0] != '\0' && bytes[1] == '\0' && bytes[3] == '\0')
        return convertToUTF8(bytes, "UTF-16LE");
    if (bytes.size() >= 4 && bytes[0] == '\0' && bytes[1] != '\0' && bytes[2] == '\0')
        return convertToUTF8(bytes, "UTF-16BE");
    return std::nullopt;
}

} // namespace

namespace VCardParser {

/// Reads every card of a file, in file order. Cards nested in a card (vCard 2.1 agents) are
/// cards of their own; a card cut off by the end of the file keeps what it has; a card whose
/// BEGIN line is lost is still read when its END line is there.
std::vector<Contact> parse(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    const std::optional<std::string> transcoded = transcodeWideFile(bytes);
    const bool unicodeFile = transcoded.has_value();
    if (transcoded) bytes = *transcoded;

    std::vector<Card> cards;
    std::vector<std::size_t> open; // indices of the cards begun and not yet ended, innermost last
    Card loose;                    // properties met outside any card
    LineReader reader(bytes);
    std::string buffer;

    while (reader.hasNext()) {
        const std::string_view line = reader.next();
        std::string_view last = line; // the last physical line taken into the content line
        std::string_view logical = line;
        std::optional<Property> property = splitLine(line);
        if (!property && reader.nextIsFold()) {
            // The name or the parameters are folded.
            buffer.assign(line);
            while (reader.nextIsFold()) {
                last = reader.next();
                buffer.append(last.substr(1));
            }
            logical = buffer;
            property = splitLine(buffer);
        }
        if (!property) {
            while (reader.nextIsFold())
                reader.next();
            continue;
        }
        Params params = readParams(property->params);
        const Kind kind = classify(property->name);
        const auto continues = [&] {
            return (params.quotedPrintable && endsWithEquals(last) && reader.hasNext()) || reader.nextIsFold();
        };
        if (kind == Kind::other) {
            while (continues())
                last = reader.next();
            if (open.empty()) loose.hasProperties = true;
            continue;
        }
        if (continues()) {
            if (logical.data() != buffer.data()) buffer.assign(line);
            while (continues()) {
                if (params.quotedPrintable && endsWithEquals(last)) {
                    buffer.pop_back(); // a soft line break
                    last = reader.next();
                    buffer.append(last);
                } else {
                    last = reader.next();
                    buffer.append(last.substr(1));
                }
            }
            property = splitLine(buffer);
            if (!property) continue;
            params = readParams(property->params);
        }

        if (kind == Kind::begin || kind == Kind::end) {
            if (!equalsIgnoreCase(trimBlanks(property->value), "VCARD")) continue;
            if (kind == Kind::begin) {
                open.push_back(cards.size());
                cards.emplace_back();
                loose = Card();
            } else if (!open.empty()) {
                open.pop_back();
            } else if (loose.hasProperties) {
                cards.push_back(std::move(loose));
                loose = Card();
            }
            continue;
        }
        Card& card = open.empty() ? loose : cards[open.back()];
        apply(card, kind, decodeValue(property->value, params, unicodeFile));
    }

    std::vector<Contact> contacts;
    contacts.reserve(cards.size());
    for (Card& card : cards) {
        if (!card.isGroup) contacts.push_back(finish(std::move(card)));
    }
    return contacts;
}

} // namespace VCardParser
