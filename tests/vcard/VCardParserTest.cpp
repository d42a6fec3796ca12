#include "platform/VCardParser.h"
#include "vcard/VCardTestSupport.h"

#include <string>

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

Contact only(const std::string& bytes) {
    const std::vector<Contact> contacts = VCardParser::parse(bytes);
    EXPECT_EQ(contacts.size(), 1u) << bytes;
    return contacts.empty() ? Contact{} : contacts.front();
}

const Contact ada{"Ada", "King", "Analytical Engines", "Countess", {"ada@example.org"}, {"+44 20 7946 0000"}};

} // namespace

TEST(VCardParser, VersionsLineEndsCaseAndByteOrderMark) {
    const std::string body = "N:King;Ada;;;\nORG:Analytical Engines\nTITLE:Countess\nEMAIL:ada@example.org\n"
                             "TEL:+44 20 7946 0000\nEND:VCARD\n";
    for (const char* version : {"2.1", "3.0", "4.0"})
        expectContact(only("BEGIN:VCARD\nVERSION:"s + version + "\n" + body), ada);
    const std::string lf = "BEGIN:VCARD\nVERSION:3.0\n" + body;
    const auto replaceLineEnds = [&](const std::string& end) {
        std::string out;
        for (const char c : lf)
            out += c == '\n' ? end : std::string(1, c);
        return out;
    };
    for (const char* end : {"\r\n", "\r\r\n", "\r"}) // Windows, iPhone exports, old Mac files
        expectContact(only(replaceLineEnds(end)), ada);
    expectContact(only("\xEF\xBB\xBF" + replaceLineEnds("\r\n")), ada);
    // Names in any case, group prefixes.
    expectContact(only("begin:vcard\nn:King;Ada\nOrg:Analytical Engines\ntItLe:Countess\nitem1.EMAIL:ada@example.org\n"
                       "item1.X-ABLabel:_$!<Work>!$_\nITEM2.tel;type=cell:+44 20 7946 0000\nend:vCard\n"),
                  ada);
    // No line end after the last line.
    expectContact(only("BEGIN:VCARD\r\nFN:Ada King\r\nEND:VCARD"), card("Ada King"));
}

TEST(VCardParser, FoldedLines) {
    // Folds with a space or a tab, inside the value, the name and the parameters; only the
    // first blank of a continuation line goes.
    expectContact(only("BEGIN:VCARD\r\nN:Ki\r\n ng;A\r\n\tda\r\nOR\r\n G:Analytical  \r\n  Engines\r\nTITLE;LANG\r\n"
                       " UAGE=en:Countess\nEMAIL;TYPE=INTERNET\n ,PREF:ada@\n example.org\nTEL;TYPE=VOICE,M\n"
                       "\tSG:+44 20 7946 0000\nEND:VCARD\n"),
                  card("Ada", "King", "Analytical   Engines", "Countess", {"ada@example.org"}, {"+44 20 7946 0000"}));
    // A fold may split a UTF-8 character: unfolding works on bytes.
    expectContact(only("BEGIN:VCARD\nN:M\xC3\n \xB6hrke;G\xC3\xA9rard\nEND:VCARD\n"), card("Gérard", "Möhrke"));
}

TEST(VCardParser, EscapesComponentsAndParameters) {
    expectContact(only("BEGIN:VCARD\nN:King\\, Lovelace;Ada\\;Augusta\\\\;Byron;;\n"
                       "ORG:Engines\\; Analytical\\, Ltd;R\\&D\nTITLE:Line\\nbreak\\Nand\\, comma\\: \\q\n"
                       "EMAIL:semi\\;colon@example.org\nEND:VCARD\n"),
                  card("Ada;Augusta\\", "King, Lovelace", "Engines; Analytical, Ltd", "Line\nbreak\nand, comma: \\q",
                       {"semi;colon@example.org"}));
    // A lone backslash at the end stays.
    expectContact(only("BEGIN:VCARD\nN:King\\\nEND:VCARD\n"), card("", "King\\"));
    // Quoted parameter values hold colons and semicolons.
    expectContact(
        only("BEGIN:VCARD\nN;SORT-AS=\"King;Ada\":King;Ada\nORG;X-A=\"a:b;c\";TYPE=work:Analytical Engines\n"
             "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+44-20-7946-0000;ext=12\nTEL;VALUE=uri:67545678\n"
             "EMAIL;X-BROKEN=\"unclosed:ada@example.org\nEND:VCARD\n"),
        card("Ada", "King", "Analytical Engines", "", {"ada@example.org"}, {"+44-20-7946-0000;ext=12", "67545678"}));
}

TEST(VCardParser, Version21QuotedPrintableAndCharsets) {
    // Bare QUOTED-PRINTABLE, soft line breaks that split UTF-8 characters, and a continuation line
    // that starts with a "#" or a space (it belongs to the value, it is not a fold or a comment).
    expectContact(only("BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;QUOTED-PRINTABLE:M=C3=\r\n=B6hrke;Ad=\r\n"
                       "#a\r\nORG;ENCODING=QUOTED-PRINTABLE:Caf=C3=A9=\r\n Royal=3B;Unit\r\nTEL;HOME;VOICE:1\r\n"
                       "TEL;WORK;ENCODING=quoted-printable:2=3D3\r\nEND:VCARD\r\n"),
                  card("Ad#a", "Möhrke", "Café Royal", "", {}, {"1", "2=3"}));
    // Charsets through ICU: Latin-1, Windows-1251 in QUOTED-PRINTABLE, Shift_JIS (whose second
    // bytes may be a backslash), and an unknown charset read as UTF-8.
    expectContact(only("BEGIN:VCARD\nN;CHARSET=ISO-8859-1:M\xF6hrke;J\xFCrgen\n"
                       "ORG;CHARSET=Windows-1251;ENCODING=QUOTED-PRINTABLE:=CA=E8=BF=E2\n"
                       "TITLE;CHARSET=SHIFT_JIS:\x83\x5C\x83\x74\x83\x67\nEMAIL;CHARSET=x-nonsense:a\xC3\xA9@b\n"
                       "TEL;CHARSET=UTF-16:12\nEND:VCARD\n"),
                  card("Jürgen", "Möhrke", "Київ", "ソフト", {"aé@b"}, {"12"}));
    // A QUOTED-PRINTABLE value of another property whose continuation looks like a property.
    expectContact(only("BEGIN:VCARD\nFN:Ada\nNOTE;QUOTED-PRINTABLE:call=\nTEL:999=\nEND:VCARD=0A\nTEL:1\nEND:VCARD\n"),
                  card("Ada", "", "", "", {}, {"1"}));
    // Base64 text values are decoded too.
    expectContact(only("BEGIN:VCARD\nFN;ENCODING=b:QWRh\nEND:VCARD\n"), card("Ada"));
    // Ill-formed UTF-8 becomes U+FFFD.
    const Contact contact =
        only("BEGIN:VCARD\nN:M\xF6hrke;\xC3\nTITLE:\xED\xA0\x80\nEMAIL:a\xFF@b\nTEL:\x80\nEND:VCARD\n");
    expectContact(contact, card("\uFFFD", "M\uFFFDhrke", "", "\uFFFD\uFFFD\uFFFD", {"a\uFFFD@b"}, {"\uFFFD"}));
    EXPECT_TRUE(isValidContact(contact));
}

TEST(VCardParser, SixPropertiesFromTheCard) {
    // The first N, ORG and TITLE count; every EMAIL and TEL, in card order, whatever TYPE or PREF says.
    expectContact(only("BEGIN:VCARD\nTEL;TYPE=home:1\nN:King;Ada;Augusta;Lady;\nN:Other;Name\nFN:Ignored\n"
                       "ORG:Analytical Engines;R&D;Lab\nORG:Second\nTITLE:Countess\nTITLE:Second\n"
                       "EMAIL;TYPE=home:home@example.org\nEMAIL;PREF=1:pref@example.org\nEMAIL:\nTEL;PREF=1:2\n"
                       "END:VCARD\n"),
                  card("Ada", "King", "Analytical Engines", "Countess", {"home@example.org", "pref@example.org", ""},
                       {"1", "2"}));
    // FN stands in when N is missing, empty or blank, but not when N holds a name.
    for (const char* n : {"", "N:\n", "N:;;;;\n", "N: ; \t;Middle;Dr.;\n"})
        EXPECT_EQ(only("BEGIN:VCARD\n"s + n + "FN:Ada King\nEND:VCARD\n").givenName, "Ada King") << n;
    expectContact(only("BEGIN:VCARD\nFN:Ada King\nN:;Ada\nEND:VCARD\n"), card("Ada"));
    // A company card with neither name keeps its organisation only.
    expectContact(only("BEGIN:VCARD\nKIND:org\nN:;;;;\nFN:\nORG:Acme;\nEND:VCARD\n"), card("", "", "Acme"));
    // Contact groups are left out.
    const std::vector<Contact> contacts =
        VCardParser::parse("BEGIN:VCARD\nVERSION:4.0\nKIND:group\nFN:Friends\nMEMBER:urn:uuid:1\nEND:VCARD\n"
                           "BEGIN:VCARD\nVERSION:3.0\nX-ADDRESSBOOKSERVER-KIND: Group\nFN:Family\nEND:VCARD\n"
                           "BEGIN:VCARD\nKIND:individual\nFN:Ada\nEND:VCARD\n"
                           "BEGIN:VCARD\nX-ADDRESSBOOKSERVER-KIND:person\nFN:Bob\nEND:VCARD\n");
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[0].givenName, "Ada");
    EXPECT_EQ(contacts[1].givenName, "Bob");
}

TEST(VCardParser, BadInputNeverStopsTheFile) {
    EXPECT_TRUE(VCardParser::parse("").empty());
    EXPECT_TRUE(VCardParser::parse("This is not an address book.\nNAME: value\n").empty());
    // Cards with none of the six properties could never become a note.
    EXPECT_TRUE(
        VCardParser::parse("BEGIN:VCALENDAR\nEND:VCALENDAR\nEND:VCARD\nBEGIN:VCARD\nN:;;\nEND:VCARD\n").empty());
    // Nonsense lines and lines without a colon are skipped; the cards around them are read.
    const std::vector<Contact> contacts =
        VCardParser::parse("garbage before\nBEGIN:VCARD\n# comment\nFN\n:no name\n;;;\nN:King;Ada\nEND:VCARD\n\n\n"
                           "BEGIN:VCARD\nN:Lee;Bo\nBEGIN:VCARD\nN:Nested;Agent\nEND:VCARD\nTEL:1\nEND:VCARD\n"
                           "VERSION:3.0\nFN:Lost Begin\nEND:VCARD\n"
                           "BEGIN:VCARD\nVERSION:3.0\nFN:Cut Off\nTEL:2\nE");
    ASSERT_EQ(contacts.size(), 5u);
    expectContact(contacts[0], card("Ada", "King"));
    expectContact(contacts[1], card("Bo", "Lee", "", "", {}, {"1"}));
    expectContact(contacts[2], card("Agent", "Nested"));
    expectContact(contacts[3], card("Lost Begin"));
    expectContact(contacts[4], card("Cut Off", "", "", "", {}, {"2"}));
    // Cards nested past eight levels are skipped with what they hold, their END lines included.
    EXPECT_EQ(VCardParser::parse(repeat("BEGIN:VCARD\nFN:x\n", 10) + repeat("END:VCARD\nTEL:1\n", 10)),
              std::vector<Contact>(8, card("x", "", "", "", {}, {"1"})));
    // A line longer than the limit, in one piece or folded, is skipped.
    for (const std::string& n :
         {std::string(VCardParser::maxLineBytes, 'a'), repeat(std::string(1023, 'a') + "\n ", 1025)})
        expectContact(only("BEGIN:VCARD\nN:" + n + "\nFN:Ada\nEND:VCARD\n"), card("Ada"));
    // A file cut off inside a soft line break or a fold.
    expectContact(only("BEGIN:VCARD\nN;QUOTED-PRINTABLE:King;Ada="), card("Ada=", "King"));
    expectContact(only("BEGIN:VCARD\nN:King;Ada\n "), card("Ada", "King"));
}

TEST(VCardParser, BinaryBlocksAreSkipped) {
    // Indented (folded) base64, and vCard 2.1's unindented block ended by a blank line.
    const std::string photo = repeat(
        "  /9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAIBAQEBAQIBAQEBAgICAgIEAwICAgIFBAQDBAYFBgYGBQYGBwkIBgcJBwYGCAsI\r\n", 500);
    const std::string bare = repeat("AAIBAQEBAQIBAQEBAgICAgIEAwICAgIFBAQDBAYFBgYGBQYGBwkIBgcJBwYGCAsIBwc=\r\n", 50);
    expectContact(only("BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Ada\r\nPHOTO;ENCODING=BASE64;JPEG:\r\n" + photo +
                       "\r\nKEY;X509;BASE64:\r\n" + bare + "\r\nTEL:1\r\nEND:VCARD\r\n"),
                  card("Ada", "", "", "", {}, {"1"}));
}

TEST(VCardParser, WideFilesAreTranscoded) {
    // UTF-16 little and big endian, with and without a byte-order mark.
    const auto wide = [](std::u16string_view text, bool littleEndian) {
        std::string out;
        for (const char16_t c : text) {
            const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
            out += littleEndian ? std::string{low, high} : std::string{high, low};
        }
        return out;
    };
    const std::u16string_view text =
        u"BEGIN:VCARD\r\nVERSION:3.0\r\nN;CHARSET=ISO-8859-1:M\u00F6hrke;Ada\r\nEND:VCARD\r\n";
    // The text is Unicode already: a CHARSET parameter does not apply.
    const Contact expected = card("Ada", "Möhrke");
    for (const bool little : {true, false}) {
        expectContact(only((little ? "\xFF\xFE" : "\xFE\xFF") + wide(text, little)), expected);
        expectContact(only(wide(text, little)), expected);
    }
    expectContact(only("\xFF\xFE\x00\x00"s + wide(u"B\0E\0G\0I\0N\0:\0V\0C\0A\0R\0D\0\n\0F\0N\0:\0A\0"sv, true)),
                  card("A"));
    // An odd byte at the end of a UTF-16 file.
    EXPECT_EQ(VCardParser::parse("\xFF\xFE" + wide(u"BEGIN:VCARD\nFN:A\n", true) + "X").size(), 1u);
}
