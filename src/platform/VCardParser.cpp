#include "platform/VCardParser.h"

#include "core/Text.h"

#include <unicode/ucnv.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

// A reader for the vCard files met in practice (versions 2.1, 3.0 and 4.0, as written by phones,
// mail programs and desktop address books), not a validator. It reads only the properties a person
// note needs and skips everything else without decoding it, so photos cost a scan for line ends.
// Lines are unfolded and QUOTED-PRINTABLE is decoded on bytes, before any charset decoding, because
// folds and soft line breaks often split a multi-byte character.
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

using Text::equalsIgnoringASCIICase;

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringASCIICase(text.substr(0, prefix.size()), prefix);
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
    if (equalsIgnoringASCIICase(value, "QUOTED-PRINTABLE"))
        params.quotedPrintable = true;
    else if (equalsIgnoringASCIICase(value, "BASE64") || equalsIgnoringASCIICase(value, "B"))
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
        if (equalsIgnoringASCIICase(key, "ENCODING"))
            readEncoding(value, params);
        else if (equalsIgnoringASCIICase(key, "CHARSET"))
            params.charset = std::string(value);
    }
    return params;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = Text::asciiLower(c);
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
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
    if (Text::isValidUTF8(out)) return out; // as it is with a substitute for every bad sequence
    return Text::toValidUTF8(out);
}

// Texts of a value in a named charset. UTF-16 and UTF-32 cannot stand in a line of a text file,
// so such a name is a mistake and the bytes are read as UTF-8.
std::string decodeCharset(std::string_view bytes, const std::string& charset) {
    if (!charset.empty() && !equalsIgnoringASCIICase(charset, "UTF-8") && !equalsIgnoringASCIICase(charset, "UTF8") &&
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
        if (equalsIgnoringASCIICase(name, text)) return kind;
    }
    return Kind::other;
}

// The memory a text holds outside its own object: none while it fits in the object.
std::size_t heapBytes(const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

std::size_t heapBytes(const Contact& contact) {
    std::size_t bytes = heapBytes(contact.givenName) + heapBytes(contact.familyName) +
                        heapBytes(contact.organizationName) + heapBytes(contact.jobTitle);
    for (const std::vector<std::string>* list : {&contact.emailAddresses, &contact.phoneNumbers}) {
        bytes += list->capacity() * sizeof(std::string);
        for (const std::string& text : *list)
            bytes += heapBytes(text);
    }
    return bytes;
}

// A contact costs three times its object in the list of contacts: a list that doubles holds that
// much while it moves to a larger block. E-mail addresses and phone numbers are counted alike.
constexpr std::size_t contactCost = 3 * sizeof(Contact);
constexpr std::size_t listedTextCost = 3 * sizeof(std::string);

struct Card {
    Contact contact;
    std::optional<std::string> formattedName;
    bool hasName = false;
    bool hasOrganization = false;
    bool hasTitle = false;
    bool isGroup = false;
    std::size_t slot = 0;    // its place in the list of contacts, taken when the card begins
    std::size_t charged = 0; // what its texts were counted against the memory budget
};

// Takes a property's text into the card; returns the memory it adds to the card.
std::size_t apply(Card& card, Kind kind, std::string text) {
    switch (kind) {
    case Kind::n:
        if (!card.hasName) {
            card.hasName = true;
            std::vector<std::string> parts;
            unescape(text, &parts);
            card.contact.familyName = std::move(parts[0]);
            if (parts.size() > 1) card.contact.givenName = std::move(parts[1]);
            return heapBytes(card.contact.familyName) + heapBytes(card.contact.givenName);
        }
        break;
    case Kind::fn:
        if (!card.formattedName) {
            card.formattedName = unescape(text);
            return heapBytes(*card.formattedName);
        }
        break;
    case Kind::org:
        if (!card.hasOrganization) {
            card.hasOrganization = true;
            std::vector<std::string> parts;
            unescape(text, &parts);
            card.contact.organizationName = std::move(parts[0]);
            return heapBytes(card.contact.organizationName);
        }
        break;
    case Kind::title:
        if (!card.hasTitle) {
            card.hasTitle = true;
            card.contact.jobTitle = unescape(text);
            return heapBytes(card.contact.jobTitle);
        }
        break;
    case Kind::email:
        card.contact.emailAddresses.push_back(unescape(text));
        return listedTextCost + heapBytes(card.contact.emailAddresses.back());
    case Kind::tel: {
        std::string number = unescape(text);
        if (startsWithIgnoreCase(number, "tel:")) number.erase(0, 4);
        card.contact.phoneNumbers.push_back(std::move(number));
        return listedTextCost + heapBytes(card.contact.phoneNumbers.back());
    }
    case Kind::kind:
        if (equalsIgnoringASCIICase(trimBlanks(text), "group")) card.isGroup = true;
        break;
    default:
        break;
    }
    return 0;
}

// A card with only a formatted name still gets a note: FN stands in for an empty or missing N.
Contact finish(Card&& card) {
    Contact contact = std::move(card.contact);
    if (card.formattedName && Text::trimSpaces(contact.givenName).empty() &&
        Text::trimSpaces(contact.familyName).empty())
        contact.givenName = std::move(*card.formattedName);
    return contact;
}

// The cards begun and not yet ended, innermost last, with the contacts they become. A card takes
// its place in the list when it begins, so the list keeps file order when a card nested in another
// (a vCard 2.1 agent) ends first; a card that yields no contact gives its place back. Only open
// cards are held aside, and at most eight of them: agents nest one level, and a card nested deeper
// is skipped with everything in it. Every contact and text is counted against a memory budget;
// past it the reading stops.
class Cards {
public:
    static constexpr std::size_t maxDepth = 8;

    Cards(std::vector<Contact>& contacts, std::size_t& budget) : contacts_(contacts), budget_(budget) {}

    bool overBudget() const { return overBudget_; }

    // Counts bytes against the budget; false, and the reading stops, when they do not fit.
    bool charge(std::size_t bytes) {
        if (bytes > budget_) {
            overBudget_ = true;
            return false;
        }
        budget_ -= bytes;
        return true;
    }
    void refund(std::size_t bytes) { budget_ += bytes; }

    // Properties met outside any card belong to no card once a card begins.
    void begin() {
        if (looseUsed_) dropLoose();
        if (skipped_ > 0 || open_.size() == maxDepth) {
            ++skipped_;
            return;
        }
        if (!charge(contactCost)) return;
        open_.emplace_back().slot = contacts_.size();
        contacts_.emplace_back();
    }

    // An END without an open card ends the card whose BEGIN was lost: the properties before it.
    void end() {
        if (skipped_ > 0) {
            --skipped_;
        } else if (!open_.empty()) {
            close();
        } else if (looseUsed_ && charge(contactCost)) {
            loose_.slot = contacts_.size();
            contacts_.emplace_back();
            place(loose_);
            dropLoose();
        }
    }

    // A file cut off inside cards keeps what they have.
    void endAll() {
        skipped_ = 0;
        while (!open_.empty())
            close();
    }

    // Where a property goes; none inside a card nested too deep.
    Card* current() {
        if (skipped_ > 0) return nullptr;
        if (!open_.empty()) return &open_.back();
        looseUsed_ = true;
        return &loose_;
    }

    void take(Card& card, Kind kind, std::string text) {
        const std::size_t bytes = apply(card, kind, std::move(text));
        if (charge(bytes)) card.charged += bytes;
    }

private:
    void close() {
        place(open_.back());
        open_.pop_back();
    }

    void dropLoose() {
        refund(loose_.charged);
        loose_ = Card();
        looseUsed_ = false;
    }

    // Contact groups, and cards that carry none of the six properties, could never become a note:
    // their place is given back, and the contacts of cards nested in them, all after it, move up.
    void place(Card& card) {
        refund(std::exchange(card.charged, 0));
        const std::size_t slot = card.slot;
        const bool group = card.isGroup;
        Contact contact = finish(std::move(card));
        if (group || contact == Contact{}) {
            contacts_.erase(contacts_.begin() + static_cast<std::ptrdiff_t>(slot));
            refund(contactCost);
            return;
        }
        charge(heapBytes(contact));
        contacts_[slot] = std::move(contact);
    }

    std::vector<Contact>& contacts_;
    std::size_t& budget_;
    bool overBudget_ = false;
    std::vector<Card> open_;
    std::size_t skipped_ = 0; // cards begun past the depth limit and not yet ended
    Card loose_;              // properties met outside any card
    bool looseUsed_ = false;
};

// One content line of the six properties, BEGIN or END: its physical lines joined (folds, and the
// soft breaks of quoted-printable values), in `buffer` when there were several.
struct ContentLine {
    Property property;
    Params params;
    Kind kind;
};

// Reads the next content line. None for a line that is skipped: one without a property, one of a
// property not read, or one longer than maxLineBytes (whose physical lines are all passed over).
std::optional<ContentLine> readContentLine(LineReader& reader, std::string& buffer) {
    const std::string_view line = reader.next();
    std::string_view last = line; // the last physical line taken into the content line
    std::string_view logical = line;
    bool tooLong = line.size() > VCardParser::maxLineBytes;
    std::optional<Property> property = splitLine(line);
    if (!property && reader.nextIsFold()) {
        // The name or the parameters are folded.
        if (!tooLong) buffer.assign(line);
        while (reader.nextIsFold()) {
            last = reader.next();
            tooLong = tooLong || buffer.size() + last.size() > VCardParser::maxLineBytes + 1;
            if (!tooLong) buffer.append(last.substr(1));
        }
        if (tooLong) return std::nullopt;
        logical = buffer;
        property = splitLine(buffer);
    }
    if (!property) {
        while (reader.nextIsFold())
            reader.next();
        return std::nullopt;
    }
    Params params = readParams(property->params);
    const Kind kind = classify(property->name);
    const auto continues = [&] {
        return (params.quotedPrintable && endsWithEquals(last) && reader.hasNext()) || reader.nextIsFold();
    };
    if (kind == Kind::other) {
        while (continues())
            last = reader.next();
        return std::nullopt;
    }
    if (continues()) {
        if (!tooLong && logical.data() != buffer.data()) buffer.assign(line);
        while (continues()) {
            const bool softBreak = params.quotedPrintable && endsWithEquals(last);
            last = reader.next();
            tooLong = tooLong || buffer.size() + last.size() > VCardParser::maxLineBytes + 1;
            if (tooLong) continue;
            if (softBreak) {
                buffer.pop_back();
                buffer.append(last);
            } else {
                buffer.append(last.substr(1));
            }
        }
        if (tooLong) return std::nullopt;
        property = splitLine(buffer);
        if (!property) return std::nullopt;
        params = readParams(property->params);
    }
    if (tooLong) return std::nullopt;
    return ContentLine{*property, std::move(params), kind};
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
/// BEGIN line is lost is still read when its END line is there; a card nested more than eight deep
/// is skipped. A line of the six properties longer than maxLineBytes is skipped: no name or
/// address is that long, and decoding it could take several times its size.
bool parse(std::string_view bytes, std::vector<Contact>& contacts, std::size_t& budget) {
    Cards cards(contacts, budget);
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    const std::optional<std::string> transcoded = transcodeWideFile(bytes);
    const bool unicodeFile = transcoded.has_value();
    if (transcoded) {
        if (!cards.charge(transcoded->size())) return false;
        bytes = *transcoded;
    }

    LineReader reader(bytes);
    std::string buffer;
    while (reader.hasNext() && !cards.overBudget()) {
        const std::optional<ContentLine> line = readContentLine(reader, buffer);
        if (!line) continue;
        if (line->kind == Kind::begin || line->kind == Kind::end) {
            if (!equalsIgnoringASCIICase(trimBlanks(line->property.value), "VCARD")) continue;
            if (line->kind == Kind::begin)
                cards.begin();
            else
                cards.end();
            continue;
        }
        if (Card* card = cards.current())
            cards.take(*card, line->kind, decodeValue(line->property.value, line->params, unicodeFile));
    }
    if (cards.overBudget()) return false;
    cards.endAll();
    if (transcoded) cards.refund(transcoded->size());
    return !cards.overBudget();
}

std::vector<Contact> parse(std::string_view bytes) {
    std::vector<Contact> contacts;
    std::size_t unlimited = SIZE_MAX;
    parse(bytes, contacts, unlimited);
    return contacts;
}

} // namespace VCardParser
