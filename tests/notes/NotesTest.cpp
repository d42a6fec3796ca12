#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string>

using namespace ContactsImporter;

namespace {

// The note a card gets in the pass, or "" when it has no display name.
std::string noteOf(const Contact& contact) {
    const auto name = displayName(contact);
    return name ? renderNote(contact, *name) : "";
}

std::string note(const std::string& name, const std::string& fields = {}) {
    return "---\nname: \"" + name + "\"\n" + fields + "---\n\n# " + name + "\n";
}

} // namespace

TEST(PersonNote, FieldsTrimmingAndQuoting) {
    const Contact ada{" Ada ", "King", "Analytical Engines Ltd", "Head of R&D", {}, {"+1 555 010 199"}};
    ASSERT_EQ(displayName(ada), "Ada King");
    EXPECT_EQ(fileName(*displayName(ada)), "ada-king.md");
    EXPECT_EQ(noteOf(ada), note("Ada King", "company: \"Analytical Engines Ltd\"\ntitle: \"Head of R&D\"\n"
                                            "phone: \"+1 555 010 199\"\n"));
    EXPECT_EQ(noteOf({"Ada", "", "", "", {}, {}}), note("Ada"));
    // Company card: named by its organisation, which also fills the company line.
    EXPECT_EQ(noteOf({"", " ", "\tAcme\u3000", "", {}, {}}), note("Acme", "company: \"Acme\"\n"));
    EXPECT_EQ(displayName({"   ", "Lee", "", "", {}, {}}), "Lee");
    EXPECT_EQ(displayName({"\u00A0\u2003", "\u202F", " \t ", "", {}, {}}), std::nullopt);
    // Line breaks are not trimmed: they stay part of the name.
    EXPECT_EQ(displayName({"\nAda\u2028", "King\u0085", "", "", {}, {}}), "\nAda\u2028 King\u0085");
    // Title and phone as stored; company and e-mail trimmed; only the first e-mail and phone count.
    EXPECT_EQ(noteOf({"Ada", "", " Acme ", "   ", {" ada@example.org\t", "b@example.org"}, {" 01 ", "02"}}),
              note("Ada", "company: \"Acme\"\ntitle: \"   \"\nemail: \"ada@example.org\"\nphone: \" 01 \"\n"));
    EXPECT_EQ(noteOf({"Ada", "", "", "", {" \u00A0", "b@example.org"}, {""}}), note("Ada"));
    // Backslashes are doubled before quotes are escaped.
    EXPECT_EQ(renderPerson("A", std::nullopt, std::string("Say \"hi\" \\o/"), std::nullopt, std::nullopt),
              note("A", "title: \"Say \\\"hi\\\" \\\\o/\"\n"));
    // A line feed becomes a space in the value, not in the heading; tab, CR, colon and "#" pass unchanged.
    EXPECT_EQ(renderPerson("Ann\nMarie", std::string("a:\tb\r#"), std::nullopt, std::nullopt, std::string("")),
              "---\nname: \"Ann Marie\"\ncompany: \"a:\tb\r#\"\n---\n\n# Ann\nMarie\n");
    // Ill-formed UTF-8 never reaches the vault.
    EXPECT_EQ(renderPerson("Zo\xC3", std::nullopt, std::nullopt, std::string("\xFF@x"), std::nullopt),
              note("Zo\uFFFD", "email: \"\uFFFD@x\"\n"));
}

TEST(FileName, SeparatorsCaseAndLength) {
    for (const auto& [name, stem] : std::vector<std::pair<std::string, std::string>>{
             {"Ada King", "ada-king"},
             {"ACME, Inc.", "acme-inc"},
             {"R2-D2", "r2-d2"},
             {"Ann\nMarie", "ann-marie"},
             {"--  Ada\t&\tKing!! ", "ada-king"},
             {"\u00C9mile O'Brien", "mile-o-brien"},    // precomposed: the letter goes
             {"E\u0301mile O'Brien", "e-mile-o-brien"}, // combining accent: the base stays
             {"\u0130stanbul", "i-stanbul"},            // full mapping: "i" plus a combining dot
             {"\u212Aelvin", "kelvin"},                 // the Kelvin sign lower-cases to "k"
             {"Zo\u00EB \U0001F600 2", "zo-2"},         // outside the BMP too
             {"\u674E\u5C0F\u9F99", "person"},
             {"", "person"},
             {"!?", "person"},
             {std::string(70, 'a'), std::string(60, 'a')},
             {std::string(59, 'x') + " yz", std::string(59, 'x') + "-"},
             // The cut comes after stripping, so leading separators do not shorten the stem.
             {"  " + std::string(60, 'b') + "c", std::string(60, 'b')},
             {std::string(100000, '.') + "Ada", "ada"},
             // Ill-formed UTF-8 counts as a separator and never swallows the ASCII after it.
             {"a\xC3z\xFF\xE2\x82y\xF0\x9F", "a-z-y"},
             {"\xED\xA0\x80q\xC0\xAF", "q"}}) {
        EXPECT_EQ(slug(name), stem) << name;
        EXPECT_EQ(fileName(name), stem + ".md") << name;
    }
}

// The stem is lower-cased one code point at a time; that must agree with lower-casing the whole
// text with the full mapping, for every assigned non-ASCII code point that either mapping changes.
TEST(FileName, PerCodePointLowercasingAgreesWithFullMapping) {
    const auto utf8 = [](UChar32 c) {
        char bytes[U8_MAX_LENGTH];
        std::int32_t length = 0;
        U8_APPEND_UNSAFE(bytes, length, c);
        return std::string(bytes, static_cast<std::size_t>(length));
    };
    int checked = 0;
    for (UChar32 first = 0x80; first <= 0x10FFFF; first += 0x1000) {
        std::vector<UChar32> points;
        std::string batch;
        for (UChar32 c = first; c < first + 0x1000 && c <= 0x10FFFF; ++c) {
            const auto type = u_charType(c); // unassigned and private-use code points have no case mappings
            if (type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR || type == U_SURROGATE) continue;
            points.push_back(c);
            batch += utf8(c) + '\n';
        }
        const std::string lowered = Text::lowercase(batch);
        std::size_t begin = 0;
        for (const UChar32 c : points) {
            const std::size_t end = lowered.find('\n', begin);
            ASSERT_NE(end, std::string::npos);
            const std::string_view mapped(lowered.data() + begin, end - begin);
            begin = end + 1;
            if (mapped == utf8(c) && u_tolower(c) == c) continue; // neither mapping touches it
            ++checked;
            // The stem of "X" + point + "Y", made by hand from the whole-text mapping.
            std::string expected = "x";
            for (const char b : mapped) {
                if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9'))
                    expected += b;
                else if (expected.back() != '-')
                    expected += '-';
            }
            ASSERT_EQ(slug("X" + utf8(c) + "Y"), expected + 'y') << "at U+" << std::hex << c;
        }
    }
    EXPECT_GT(checked, 1000);
}
