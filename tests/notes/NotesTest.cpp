#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

using namespace ContactsImporter;

// Each row: a card, and the note the pass makes of it under its display name ("" for none).
TEST(PersonNote, DisplayNameAndNoteText) {
    const auto note = [](const std::string& name, const std::string& fields = {}) {
        return "---\nname: \"" + name + "\"\n" + fields + "---\n\n# " + name + "\n";
    };
    const std::pair<Contact, std::string> rows[] = {
        {{" Ada ", "King", "Engines", "Head", {}, {"+1 555"}},
         note("Ada King", "company: \"Engines\"\ntitle: \"Head\"\nphone: \"+1 555\"\n")},
        {{"\u00A0", "\tLee", "", "", {}, {}}, note("Lee")},
        // A card without names is named by its organisation, which also fills the company line.
        {{"", " ", "\tAcme\u3000", "", {}, {}}, note("Acme", "company: \"Acme\"\n")},
        {{"\u2003", "\u202F", " \t ", "", {"ada@example.org"}, {"1"}}, ""},
        // Line breaks are not trimmed; a line feed becomes a space in a value, not in the heading.
        {{"\nAda", "King\u0085", "", "", {}, {}}, "---\nname: \" Ada King\u0085\"\n---\n\n# \nAda King\u0085\n"},
        // Company and e-mail trimmed, title and phone as stored; the first e-mail and phone only, and
        {{"Ada", "", " Acme ", "   ", {" a@x\t", "b@x"}, {" 01 ", "02"}},
         note("Ada", "company: \"Acme\"\ntitle: \"   \"\nemail: \"a@x\"\nphone: \" 01 \"\n")},
        // no line for a blank one. Backslashes are doubled before quotes are escaped.
        {{"Ada", "", "a:\tb\r#", "Say \"hi\" \\o/", {" \u00A0", "b@x"}, {""}},
         note("Ada", "company: \"a:\tb\r#\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\n")},
        // Ill-formed UTF-8 never reaches the vault.
        {{"Zo\xC3", "", "", "", {"\xFF@x"}, {}}, note("Zo\uFFFD", "email: \"\uFFFD@x\"\n")},
    };
    for (const auto& [contact, expected] : rows) {
        const auto name = displayName(contact);
        EXPECT_EQ(name ? renderNote(contact, *name) : "", expected) << contact.givenName << contact.familyName;
    }
}

TEST(PersonNote, FileNames) {
    // The cut comes after leading dashes go; ill-formed UTF-8 never swallows the ASCII after it.
    const std::pair<std::string, std::string> rows[] = {
        {"--  Ada\t&\tKing!! ", "ada-king"},
        {"Zo\u00EB \U0001F600 2", "zo-2"},
        // Lower-cased with the full mapping: the only code points past ASCII that give a-z0-9.
        {"X\u0130\u212A\uFF12Y", "xi-k-y"},
        {"\u674E\u5C0F\u9F99", "person"},
        {std::string(70, 'a'), std::string(60, 'a')},
        {std::string(59, 'x') + " yz", std::string(59, 'x') + "-"},
        {"  " + std::string(60, 'b') + "c", std::string(60, 'b')},
        {"\xED\xA0\x80q\xC0\xAF-a\xC3z\xFF\xE2\x82y\xF0\x9F", "q-a-z-y"}};
    for (const auto& [name, stem] : rows)
        EXPECT_EQ(fileName(name), stem + ".md") << name;
}

// The stem is lower-cased a code point at a time; for every assigned code point past ASCII that must
// agree with lower-casing the whole text "X" + c + "Y" with the full mapping.
TEST(PersonNote, PerCodePointLowercasingAgreesWithTheFullMapping) {
    for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
        if (const auto type = u_charType(c); type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR || type == U_SURROGATE)
            continue; // no case mappings
        std::string text = "X", stem;
        icu::UnicodeString(c).toUTF8String(text) += "Y";
        for (const unsigned char b : Text::lowercase(text)) // in the C locale: a-z and 0-9 only
            if (std::isalnum(b) || !stem.ends_with('-')) stem += std::isalnum(b) ? static_cast<char>(b) : '-';
        ASSERT_EQ(slug(text), stem) << "at U+" << std::hex << c;
    }
}
