#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <string>

using namespace ContactsImporter;

namespace {

Contact card(std::string given, std::string family, std::string organization = {}, std::string title = {},
             std::vector<std::string> emails = {}, std::vector<std::string> phones = {}) {
    return Contact{std::move(given), std::move(family), std::move(organization),
                   std::move(title), std::move(emails), std::move(phones)};
}

// The note a card gets in the pass, or "" when it has no display name.
std::string noteOf(const Contact& contact) {
    const auto name = displayName(contact);
    return name ? renderNote(contact, *name) : "";
}

} // namespace

TEST(PersonNote, ExampleCard) {
    const Contact ada = card(" Ada ", "King", "Analytical Engines Ltd", "Head of R&D", {}, {"+1 555 010 199"});
    ASSERT_EQ(displayName(ada), "Ada King");
    EXPECT_EQ(fileName(*displayName(ada)), "ada-king.md");
    EXPECT_EQ(noteOf(ada), "---\nname: \"Ada King\"\ncompany: \"Analytical Engines Ltd\"\ntitle: \"Head of R&D\"\n"
                           "phone: \"+1 555 010 199\"\n---\n\n# Ada King\n");
}

TEST(PersonNote, WhichFieldsAppearAndHowTheyAreTrimmed) {
    EXPECT_EQ(noteOf(card("Ada", "")), "---\nname: \"Ada\"\n---\n\n# Ada\n");
    // Company card: named by its organisation, which also fills the company line.
    EXPECT_EQ(noteOf(card("", " ", "\tAcme\u3000")), "---\nname: \"Acme\"\ncompany: \"Acme\"\n---\n\n# Acme\n");
    EXPECT_EQ(displayName(card("   ", "Lee")), "Lee");
    EXPECT_EQ(displayName(card("\u00A0\u2003", "\u202F", " \t ")), std::nullopt);
    // Line breaks are not trimmed: they stay part of the name.
    EXPECT_EQ(displayName(card("\nAda\u2028", "King\u0085")), "\nAda\u2028 King\u0085");
    // Title and phone as stored; company and e-mail trimmed; only the first e-mail and phone count.
    EXPECT_EQ(noteOf(card("Ada", "", " Acme ", "   ", {" ada@example.org\t", "b@example.org"}, {" 01 ", "02"})),
              "---\nname: \"Ada\"\ncompany: \"Acme\"\ntitle: \"   \"\nemail: \"ada@example.org\"\nphone: \" 01 \"\n"
              "---\n\n# Ada\n");
    EXPECT_EQ(noteOf(card("Ada", "", "", "", {" \u00A0", "b@example.org"}, {""})),
              "---\nname: \"Ada\"\n---\n\n# Ada\n");
}

TEST(PersonNote, ValuesAreQuotedButTheHeadingIsNot) {
    // Backslashes are doubled before quotes are escaped.
    EXPECT_EQ(renderPerson("A", std::nullopt, std::string("Say \"hi\" \\o/"), std::nullopt, std::nullopt),
              "---\nname: \"A\"\ntitle: \"Say \\\"hi\\\" \\\\o/\"\n---\n\n# A\n");
    // A line feed becomes a space in the value; tab, carriage return, colon and "#" pass unchanged.
    EXPECT_EQ(renderPerson("Ann\nMarie", std::string("a:\tb\r#"), std::nullopt, std::nullopt, std::string("")),
              "---\nname: \"Ann Marie\"\ncompany: \"a:\tb\r#\"\n---\n\n# Ann\nMarie\n");
    EXPECT_EQ(fileName("Ann\nMarie"), "ann-marie.md");
    // Ill-formed UTF-8 never reaches the vault.
    EXPECT_EQ(renderPerson("Zo\xC3", std::nullopt, std::nullopt, std::string("\xFF@x"), std::nullopt),
              "---\nname: \"Zo\uFFFD\"\nemail: \"\uFFFD@x\"\n---\n\n# Zo\uFFFD\n");
}

TEST(FileName, Examples) {
    EXPECT_EQ(fileName("Ada King"), "ada-king.md");
    EXPECT_EQ(fileName("ACME, Inc."), "acme-inc.md");
    EXPECT_EQ(fileName("R2-D2"), "r2-d2.md");
    EXPECT_EQ(fileName("\u00C9mile O'Brien"), "mile-o-brien.md");    // precomposed: the letter goes
    EXPECT_EQ(fileName("E\u0301mile O'Brien"), "e-mile-o-brien.md"); // combining accent: the base stays
    EXPECT_EQ(fileName("\u674E\u5C0F\u9F99"), "person.md");
    EXPECT_EQ(fileName(std::string(70, 'a')), std::string(60, 'a') + ".md");
    EXPECT_EQ(fileName(std::string(59, 'x') + " yz"), std::string(59, 'x') + "-.md");
}

TEST(FileName, SeparatorsCaseAndLength) {
    EXPECT_EQ(slug("--  Ada\t&\tKing!! "), "ada-king");
    EXPECT_EQ(slug("\u0130stanbul"), "i-stanbul");    // full mapping: "i" plus a combining dot
    EXPECT_EQ(slug("\u212Aelvin"), "kelvin");         // the Kelvin sign lower-cases to "k"
    EXPECT_EQ(slug("Zo\u00EB \U0001F600 2"), "zo-2"); // outside the BMP too
    EXPECT_EQ(slug(""), "person");
    EXPECT_EQ(slug("!?"), "person");
    // The cut comes after stripping, so leading separators do not shorten the stem.
    EXPECT_EQ(slug("  " + std::string(60, 'b') + "c"), std::string(60, 'b'));
    EXPECT_EQ(slug(std::string(100000, '.') + "Ada"), "ada");
    // Ill-formed UTF-8 counts as a separator and never swallows the ASCII after it.
    EXPECT_EQ(slug("a\xC3z\xFF\xE2\x82y\xF0\x9F"), "a-z-y");
    EXPECT_EQ(slug("\xED\xA0\x80q\xC0\xAF"), "q");
}

namespace {

void appendUTF8(std::string& out, char32_t c) {
    const auto u = static_cast<std::uint32_t>(c);
    if (u < 0x800)
        out += {char(0xC0 | u >> 6), char(0x80 | (u & 0x3F))};
    else if (u < 0x10000)
        out += {char(0xE0 | u >> 12), char(0x80 | (u >> 6 & 0x3F)), char(0x80 | (u & 0x3F))};
    else
        out += {char(0xF0 | u >> 18), char(0x80 | (u >> 12 & 0x3F)), char(0x80 | (u >> 6 & 0x3F)),
                char(0x80 | (u & 0x3F))};
}

} // namespace

// The stem is lower-cased one code point at a time; that must agree with lower-casing the whole
// text with the full mapping. Checked for every assigned non-ASCII code point that either mapping changes.
TEST(FileName, PerCodePointLowercasingAgreesWithFullMapping) {
    int checked = 0;
    for (char32_t first = 0x80; first <= 0x10FFFF; first += 0x1000) {
        std::vector<char32_t> points;
        std::string batch;
        for (char32_t c = first; c < first + 0x1000 && c <= 0x10FFFF; ++c) {
            // Unassigned and private-use code points have no case mappings.
            const auto type = u_charType(static_cast<UChar32>(c));
            if (type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR || type == U_SURROGATE) continue;
            points.push_back(c);
            appendUTF8(batch, c);
            batch += '\n';
        }
        const std::string lowered = Text::lowercase(batch);
        std::size_t begin = 0;
        for (const char32_t c : points) {
            const std::size_t end = lowered.find('\n', begin);
            ASSERT_NE(end, std::string::npos);
            const std::string_view mapped(lowered.data() + begin, end - begin);
            begin = end + 1;
            std::string point;
            appendUTF8(point, c);
            if (mapped == point && u_tolower(static_cast<UChar32>(c)) == static_cast<UChar32>(c))
                continue; // neither mapping touches it: a separator either way
            ++checked;
            // The stem of "X" + point + "Y", made by hand from the whole-text mapping.
            std::string expected = "x";
            for (const char b : mapped) {
                if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9'))
                    expected += b;
                else if (expected.back() != '-')
                    expected += '-';
            }
            expected += 'y';
            ASSERT_EQ(slug("X" + point + "Y"), expected) << "at U+" << std::hex << static_cast<std::uint32_t>(c);
        }
    }
    EXPECT_GT(checked, 1000);
}
