#include "core/Text.h"
#include "core/URL.h"

#include <gtest/gtest.h>

// Each row: a helper, its input and what it gives.
TEST(Text, TrimmingLowercasingAndRepair) {
    const std::tuple<std::string (*)(std::string_view), std::string, std::string> rows[] = {
        {Text::trimSpaces, " \t\u00A0\u202F\u3000Ada King\u2003", "Ada King"},
        {Text::trimSpaces, "\u200B\nAda\r\u0085\xFF ", "\u200B\nAda\r\u0085\xFF"}, // no spaces; ill-formed bytes stay
        {Text::trimWhitespaceAndNewlines, "\r\n\t /a.md \u2028\u2029\u0085\v\f\u00A0", "/a.md"},
        // The full mapping whatever the locale (no Turkish dotless i), outside the BMP too.
        {Text::lowercase, "ADA \u0130\u00C9\u0394 \xF0\x90\x90\x80 \xFF",
         "ada i\u0307\u00E9\u03B4 \xF0\x90\x90\xA8 \uFFFD"},
        {Text::toValidUTF8, std::string("a\0\xFF!\xE2\x82\u00EB", 8), std::string("a\0\uFFFD!\uFFFD\u00EB", 11)},
    };
    for (const auto& [helper, input, output] : rows)
        EXPECT_EQ(helper(input), output) << input;
    EXPECT_TRUE(Text::isValidUTF8("Zo\u00EB \U0001F600"));
    // Overlong, a UTF-16 surrogate, past U+10FFFF, cut off.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82"})
        EXPECT_FALSE(Text::isValidUTF8(bad)) << bad;
}

TEST(URL, SchemeAndHostAsWritten) {
    const URL url = URL::parse("HTTPS://Vault.Example:8080/x?y").value_or(URL{});
    EXPECT_EQ(url.scheme + " " + url.host + " " + url.absolute, "HTTPS Vault.Example HTTPS://Vault.Example:8080/x?y");
    for (const char* bad : {"", "example.com", "localhost:8080", "http://a b/", "://x", "https://x/a b"})
        EXPECT_FALSE(URL::parse(bad)) << bad;
}
