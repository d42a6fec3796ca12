#include "core/Text.h"
#include "core/URL.h"

#include <gtest/gtest.h>

TEST(Text, TrimSpacesRemovesTabsAndSpaceSeparatorsButKeepsLineBreaks) {
    EXPECT_EQ(Text::trimSpaces(" \t\u00A0Ada\u2003\u3000"), "Ada");
    EXPECT_EQ(Text::trimSpaces("\u202F\u205F\u1680 Ada King \u2009"), "Ada King");
    EXPECT_EQ(Text::trimSpaces("\nAda\r\n"), "\nAda\r\n");
    EXPECT_EQ(Text::trimSpaces("\u2028Ada\u0085"), "\u2028Ada\u0085");
    EXPECT_EQ(Text::trimSpaces(" \t "), "");
    EXPECT_EQ(Text::trimSpaces(""), "");
    // Zero-width space is a format character, not a space separator.
    EXPECT_EQ(Text::trimSpaces("\u200BAda"), "\u200BAda");
}

TEST(Text, TrimWhitespaceAndNewlinesAlsoRemovesLineBreaks) {
    EXPECT_EQ(Text::trimWhitespaceAndNewlines("\r\n\t /dav/a.md \u2028\u2029\u0085\v\f"), "/dav/a.md");
    EXPECT_EQ(Text::trimWhitespaceAndNewlines("  a b  "), "a b");
    EXPECT_EQ(Text::trimWhitespaceAndNewlines("\n\n"), "");
}

TEST(Text, TrimmingKeepsInvalidBytesAsContent) {
    EXPECT_EQ(Text::trimSpaces(" \xFF "), "\xFF");
    EXPECT_EQ(Text::trimWhitespaceAndNewlines("\xC3 "), "\xC3");
}

TEST(Text, LowercaseUsesFullLocaleIndependentMapping) {
    EXPECT_EQ(Text::lowercase("ADA@Example.ORG"), "ada@example.org");
    EXPECT_EQ(Text::lowercase("\u0130STANBUL"), "i\u0307stanbul"); // not the Turkish dotless rule
    EXPECT_EQ(Text::lowercase("\u00C9MILE \u0394"), "\u00E9mile \u03B4");
    EXPECT_EQ(Text::lowercase("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8"); // Deseret, outside the BMP
    EXPECT_EQ(Text::lowercase("A\xFF"), "a\uFFFD");
}

TEST(Text, Utf8ValidityAndRepair) {
    EXPECT_TRUE(Text::isValidUTF8("Zo\u00EB \U0001F600"));
    EXPECT_FALSE(Text::isValidUTF8("\xC0\xAF"));         // overlong slash
    EXPECT_FALSE(Text::isValidUTF8("\xED\xA0\x80"));     // UTF-16 surrogate
    EXPECT_FALSE(Text::isValidUTF8("\xF4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(Text::isValidUTF8("abc\xE2\x82"));      // cut off
    EXPECT_EQ(Text::toValidUTF8("a\xFF"
                                "b"),
              "a\uFFFD"
              "b");
    EXPECT_TRUE(Text::isValidUTF8(Text::toValidUTF8("\xE2\x82\xC3\xA9\xF0")));
    EXPECT_EQ(Text::toValidUTF8(std::string("nul\0ok", 6)), std::string("nul\0ok", 6));
}

TEST(URL, ParsesSchemeAndHostAsWrittenAndKeepsTheText) {
    auto url = URL::parse("http://localhost:8080/x?y");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "http");
    EXPECT_EQ(url->host, "localhost");
    EXPECT_EQ(url->absolute, "http://localhost:8080/x?y");

    url = URL::parse("HTTPS://Vault.Example:1/");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "HTTPS");
    EXPECT_EQ(url->host, "Vault.Example");

    for (const char* bad : {"", "example.com", "localhost:8080", "http://a b/", "://x", "https://x/a b"})
        EXPECT_FALSE(URL::parse(bad)) << bad;
}
