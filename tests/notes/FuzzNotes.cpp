// The person-note rules for any name and fields: the note's shape and the display name's.
#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    const std::string name = data.ConsumeRandomLengthString(256);
    std::optional<std::string> fields[4]; // company, title, e-mail, phone
    for (auto& field : fields)
        if (data.ConsumeBool()) field = data.ConsumeRandomLengthString(64);

    // Front matter, then the heading; no carriage return added (only the name's are there twice).
    const std::string note = ContactsImporter::renderPerson(name, fields[0], fields[1], fields[2], fields[3]);
    if (!note.starts_with("---\n") || !note.ends_with("---\n\n# " + Text::toValidUTF8(name) + "\n")) std::abort();
    auto added = std::ranges::count(note, '\r') - 2 * std::ranges::count(name, '\r');
    for (const auto& field : fields)
        added -= std::ranges::count(field.value_or(""), '\r');
    if (added != 0 || !Text::isValidUTF8(note)) std::abort();

    // A display name is never empty nor blank at its ends, and valid UTF-8 when the names are.
    const Contact card{name, fields[0].value_or(""), fields[1].value_or(""), {}, {}, {}};
    if (const auto display = ContactsImporter::displayName(card)) {
        const bool valid = Text::isValidUTF8(name + '\n' + card.familyName + '\n' + card.organizationName);
        if (display->empty() || display->starts_with(' ') || display->ends_with(' ') ||
            (valid && !Text::isValidUTF8(*display)))
            std::abort();
    }
    return 0;
}
