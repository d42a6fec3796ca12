// Fuzzes the person-note rules: the stem's alphabet and length, agreement of the per-code-point
// lower-casing with ICU's whole-text mapping, and the shape of the note text.
#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

// The stem made the slow way: the whole text lower-cased by ICU, then the runs replaced bytewise.
std::string referenceSlug(const std::string& text) {
    std::string stem;
    for (const char c : Text::lowercase(text)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            stem += c;
        else if (!stem.empty() && stem.back() != '-')
            stem += '-';
    }
    while (!stem.empty() && stem.back() == '-')
        stem.pop_back();
    if (stem.empty()) return "person";
    return stem.substr(0, 60);
}

std::optional<std::string> maybe(FuzzedDataProvider& data) {
    if (!data.ConsumeBool()) return std::nullopt;
    return data.ConsumeRandomLengthString(64);
}

std::size_t carriageReturns(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    const std::string name = data.ConsumeRandomLengthString(256);
    const auto company = maybe(data), title = maybe(data), email = maybe(data), phone = maybe(data);

    const std::string stem = ContactsImporter::slug(name);
    check(!stem.empty() && stem.size() <= 60, "stem length 1..60");
    check(std::all_of(stem.begin(), stem.end(),
                      [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }),
          "stem alphabet a-z0-9-");
    check(stem.front() != '-', "no leading dash");
    check(stem.find("--") == std::string::npos, "no double dash");
    check(stem == referenceSlug(name), "stem agrees with the whole-text mapping");
    check(ContactsImporter::fileName(name) == stem + ".md", "file name is stem + .md");

    const std::string note = ContactsImporter::renderPerson(name, company, title, email, phone);
    check(note.rfind("---\n", 0) == 0, "note starts with ---");
    const std::string tail = "---\n\n# " + Text::toValidUTF8(name) + "\n";
    check(note.size() >= tail.size() && note.compare(note.size() - tail.size(), tail.size(), tail) == 0,
          "note ends with the heading");
    std::size_t returns = carriageReturns(name) * 2; // in the name line and the heading
    for (const auto* field : {&company, &title, &email, &phone})
        returns += carriageReturns(field->value_or(""));
    check(carriageReturns(note) == returns, "no carriage return added");
    check(Text::isValidUTF8(note), "note always valid UTF-8");

    // The same texts as a card's names: a display name is never empty nor blank at its ends.
    Contact card{name, company.value_or(""), title.value_or(""), email.value_or(""), {}, {}};
    if (const auto display = ContactsImporter::displayName(card)) {
        check(!display->empty() && display->front() != ' ' && display->back() != ' ', "display name trimmed");
        const bool valid =
            Text::isValidUTF8(name) && Text::isValidUTF8(company.value_or("")) && Text::isValidUTF8(title.value_or(""));
        check(!valid || Text::isValidUTF8(*display), "display name valid UTF-8 for valid UTF-8");
    }
    return 0;
}
