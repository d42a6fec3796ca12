// Cards exported by real address books, phones and sync tools (tests/vcard/data, sources in SOURCES.md).
#include "VCardFolderStore.h"
#include "VCardParser.h"
#include "vcard/VCardTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const std::string replacement = "\xEF\xBF\xBD";

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

std::filesystem::path dataFolder() {
    const char* source = std::getenv("PELTWICK_SOURCE_DIR");
    return std::filesystem::path(source ? source : ".") / "tests" / "vcard" / "data";
}

std::vector<Contact> read(const std::string& name) {
    std::ifstream in(dataFolder() / name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return VCardParser::parse(bytes.str());
}

const std::map<std::string, std::vector<Contact>>& expectations() {
    static const std::map<std::string, std::vector<Contact>> all = {
        // Lower-case names, VERSION in the middle of the card.
        {"kcontacts__vcard3.vcf",
         {{"ian", "geiser", "Source eXtreme", "VP of Engineering", {"geiseri@yahoo.com"}, {}}}},
        // A bare "FN" line, an empty N: a company card.
        {"kcontacts__vcard4.vcf",
         {{"", "", "Ximian, Inc.", "", {"hello@ximian.com"}, {"(617) 236-0442", "(617) 236-8630"}}}},
        // A fold splits a UTF-8 character of N.
        {"kcontacts__vcard9.vcf",
         {{"",
           "123\xE3\x84\x93\xE3\x84\x95\xE3\x84\x96"
           "bcde\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4"
           "\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4"
           "\xCE\xB1\xCE\xB2\xE3\x84\xA4\xE3\x84\x93\xE3\x84\x95\xE3\x84\x96",
           "",
           "",
           {},
           {}}}},
        // tel: URIs with an extension; TEL lines before N.
        {"kcontacts__testfullvcard.vcf",
         {{"Sherlock",
           "Holmes",
           "",
           "Detective",
           {"sherlock.holmes@gmail.com", "detective@sherlockholmes.com"},
           {"+44-555-555-5555;ext=5555", "+44-555-555-6666", "+44-555-555-7777"}}}},
        // CR CR LF line ends, item groups, a 45 KB photo.
        {"ez-vcard__John_Doe_IPHONE.vcf",
         {{"John",
           "Doe",
           "IBM",
           "Money Counter",
           {"john.doe@ibm.com"},
           {"905-555-1234", "905-666-1234", "905-777-1234", "905-888-1234", "905-999-1234", "905-111-1234",
            "905-222-1234"}}}},
        // Folds inside the EMAIL and TEL values, no line end at the end of the file.
        {"ez-vcard__John_Doe_EVOLUTION.vcf",
         {{"John", "Doe", "IBM", "Money Counter", {"john.doe@ibm.com"}, {"905-666-1234", "905-555-1234"}}}},
        // An unescaped comma in ORG; a base64 key indented by four spaces.
        {"ez-vcard__outlook-2003.vcf",
         {{"John",
           "Doe",
           "Company, The",
           "The Job Title",
           {"jdoe@hotmail.com"},
           {"BusinessPhone", "HomePhone", "MobilePhone", "BusinessFaxPhone"}}}},
        // Six cards of vCard 2.1 in QUOTED-PRINTABLE; the first two hold only an e-mail address.
        {"ez-vcard__John_Doe_ANDROID.vcf",
         {{"", "", "", "", {"john.doe@company.com"}, {}},
          {"", "", "", "", {"jane.doe@company.com"}, {}},
          {"", "\xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 ", "", "", {}, {"123456789"}},
          {"",
           "\xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91 \xC3\x91",
           "",
           "",
           {},
           {"123456", "234567", "3456789", "45678901"}},
          {"\xC3\x91 \xC3\x91 \xC3\x91 ",
           "\xC3\x91 \xC3\x91 ",
           "\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91",
           "",
           {"bob@company.com",
            "\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91\xC3\x91"
            "\xC3\x91"},
           {"123456", "123456", "123456"}},
          {"", "\xC3\x91\xC3\x91\xC3\x91\xC3\x91", repeat("\xC3\x91", 44), "", {"henry@company.com"}, {"55556666"}}}},
        // Bare QUOTED-PRINTABLE whose soft breaks split CJK characters; an empty family name.
        {"evolution-data-server__5.vcf",
         {{"\xE5\x8D\x81\xE5\x9F\x8E\xE7\x9B\xAE\xE7\xAE\xA1\xE7\x90\x86\xE5\xA4\xA7\xE5\x9E\x8B\xE7\x9F\xA5\xE5\xBA"
           "\xA7",
           "",
           "\xE5\x8D\x81\xE5\x9F\x8E\xE7\x9B\xAE\xE7\xAE\xA1\xE7\x90\x86\xE5\xA4\xA7\xE5\x9E\x8B\xE7\x9F\xA5\xE5\xBA"
           "\xA7",
           "\xE5\x8D\x81\xE5\x9F\x8E\xE7\x9B\xAE\xE7\xAE\xA1\xE7\x90\x86\xE5\xA4\xA7\xE5\x9E\x8B\xE7\x9F\xA5\xE5\xBA"
           "\xA7",
           {"weird@weird.com"},
           std::vector<std::string>(4, "\xE5\x8D\x81\xE5\x9F\x8E\xE7\x9B\xAE\xE7\xAE\xA1\xE7\x90\x86\xE5\xA4\xA7\xE5"
                                       "\x9E\x8B\xE7\x9F\xA5\xE5\xBA\xA7")}}},
        // Folded parameter lists (one with a tab), an escaped ";" in EMAIL, FN but no N.
        {"evolution-data-server__13.vcf",
         {{"Ralf Engels",
           "",
           "Ralf Engels evil tests",
           "",
           {"Frank_Dawson@Lotus.com", "semicolon;@points.net"},
           {"+1-919-676-9515", "+1-919-676-9564"}}}},
        // No BEGIN line; END:vCard.
        {"evolution-data-server__7.vcf",
         {{"Frank Dawson",
           "",
           "Lotus Development Corporation",
           "",
           {"Frank_Dawson@Lotus.com", "fdawson@earthlink.net"},
           {"+1-919-676-9515", "+1-919-676-9564"}}}},
        // Cut off in the middle of a property name.
        {"evolution-data-server__9.vcf",
         {{"Frank Dawson", "", "Lotus Development Corporation", "", {}, {"+1-919-676-9515", "+1-919-676-9564"}}}},
        // UTF-8 with a byte-order mark, combining accents.
        {"FolkerKinzel-VCards__Ukrainian.vcf",
         {{"\xD0\x92\xD1\x96\xD1\x82\xD0\xB0\xD0\xBB\xD1\x96\xD0\xB9",
           "\xD0\x9A\xD0\xBB\xD0\xB8\xD1\x87\xD0\xBA\xD0\xBE\xCC\x81",
           "",
           "",
           {},
           {}}}},
        // The whole file in UTF-16LE with a byte-order mark.
        {"FolkerKinzel-VCards__v3Utf16Bom.vcf",
         {{"Folker", "Kinzel", "", "", {"email1@wumms.de", "email2@folker-kinzel.de"}, {"0123-45678"}},
          {"WSF",
           "KMS",
           "KMS Au\xC3\x9F"
           "enstelle",
           "",
           {" blabl\xC3\xB6@blub.com"},
           {"03443-303776", "03443-333440"}}}},
        // The same cards in Windows-1252 without a CHARSET: the bad bytes become U+FFFD.
        {"FolkerKinzel-VCards__v3Ansi.vcf",
         {{"Folker", "Kinzel", "", "", {"email1@wumms.de", "email2@folker-kinzel.de"}, {"0123-45678"}},
          {"WSF",
           "KMS",
           "KMS Au" + replacement + "enstelle",
           "",
           {" blabl" + replacement + "@blub.com"},
           {"03443-303776", "03443-333440"}}}},
        // QUOTED-PRINTABLE ORG in UTF-8; a TEL with a heap of bare parameters.
        {"FolkerKinzel-VCards__v2_1.vcf",
         {{"Max",
           "Mustermann",
           "Firma",
           "Position",
           {"privat@folker-kinzel.de", "business@folker-kinzel.de", "andere@folker-kinzel.de"},
           {"Tel gesch\xC3\xA4"
            "ftlich",
            "Tel privat", "Handy", "Other Phone", "Pager", "0123/579", "Fax privat"}}}},
        // A company card of vCard 4.0 with FN only.
        {"khard__org.vcf", {{"ACME Inc.", "", "ACME Inc.", "", {}, {}}}},
        {"khard__tel-value-uri.vcf", {{"bug 195", "", "", "", {}, {"67545678"}}}},
        {"khard__unparsable.vcf", {{"second contact with minimal Vcard", "", "", "", {}, {}}}},
        // Shift_JIS.
        {"android_frameworks_opt_vcard__v21_japanese_2.vcf",
         {{"\xE3\x83\xAD\xE3\x82\xA4\xE3\x83\x89"
           "1",
           "\xE5\xAE\x89\xE8\x97\xA4",
           "",
           "",
           {},
           {}}}},
        // Quoted SORT-AS values holding ";".
        {"android_frameworks_opt_vcard__v40_sort_as.vcf",
         {{"\xE3\x83\xAD\xE3\x82\xA4\xE3\x83\x89",
           "\xE5\xAE\x89\xE8\x97\xA4",
           "\xE3\x82\xB0\xE3\x83\xBC\xE3\x82\xB0\xE3\x83\xAB",
           "",
           {},
           {}}}},
        // An escaped ";" inside the second ORG component; a photo; no final line end.
        {"android_frameworks_opt_vcard__v21_complicated.vcf",
         {{"Forrest",
           "Gump",
           "Gump Shrimp Co.",
           "Shrimp Man",
           {"forrestgump@walladalla.com", "cell@example.com"},
           {"(111) 555-1212", "(404) 555-1212", "0311111111", "0322222222", "0333333333"}}}},
        // Nested cards.
        {"android_frameworks_opt_vcard__v21_nest.vcf",
         {{"", "parent", "", "", {}, {"1"}}, {"", "nest1", "", "", {}, {}}, {"", "nest2", "", "", {}, {}}}},
        // "#" lines to skip, and one that continues a QUOTED-PRINTABLE note.
        {"android_frameworks_opt_vcard__v21_invalid_comment_line.vcf", {{"Conference Call", "", "", "", {}, {}}}},
        // Escaped commas in ORG and TITLE, custom group names.
        {"vcard4android__allfields-vcard3.vcf",
         {{"Firstname",
           "Lastname",
           "ABC, Inc.",
           "Director, Research and Development",
           {"private@example.com", "work@example.com"},
           {"+49 1234 56788", "+1-800-MYFAX"}}}},
        // Empty FN and N, a Chinese company, mixed line ends.
        {"metowolf-vCards__\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\x81\xE8\xB7\xAF.vcf",
         {{"", "", "\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\x81\xE8\xB7\xAF", "", {"12306@rails.com.cn"}, {"12306"}}}},
        // Neither N nor FN.
        {"Radicale__broken-vcard.vcf", {{"", "", "", "", {"test-misses-N-or-FN@example.com"}, {}}}},
        // Two N in two languages: the first one counts.
        {"vobject__vcard40_multilang.vcf", {{"Taro", "Yamada", "", "", {}, {}}}},
    };
    return all;
}

} // namespace

TEST(VCardCorpus, SixPropertiesOfRealCards) {
    for (const auto& [file, expected] : expectations()) {
        SCOPED_TRACE(file);
        const std::vector<Contact> contacts = read(file);
        ASSERT_EQ(contacts.size(), expected.size());
        for (std::size_t i = 0; i < contacts.size(); ++i)
            expectContact(contacts[i], expected[i]);
    }
}

TEST(VCardCorpus, SyncEvolutionSixteenCards) {
    const std::vector<Contact> contacts = read("syncevolution__vcard21.vcf");
    ASSERT_EQ(contacts.size(), 16u);
    expectContact(contacts[0], Contact{"", "incomplete", "", "", {""}, {}});
    expectContact(contacts[2], Contact{"John",
                                       "Doe",
                                       "Test Inc.",
                                       "Senior Tester",
                                       {"john.doe@work.com", "john.doe@home.priv", "john.doe@other.world",
                                        "john.doe@yet.another.world"},
                                       {"business 1", "home 2", "mobile 3", "pager 6"}});
    expectContact(contacts[5], Contact{"First ; special ;", "Last", "", "", {}, {}});
    expectContact(contacts[13], Contact{"\xC3\x84", "\xC3\x9C", "", "", {}, {}});
}

// Every file of the collection through the folder reader (under the sanitizers in the second build).
TEST(VCardCorpus, EveryFileReadsWithValidText) {
    VCardFolderStore store(dataFolder());
    const std::vector<std::filesystem::path> files = store.contactFiles();
    EXPECT_EQ(files.size(), 40u);
    std::size_t cards = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::vector<Contact> contacts = read(file.filename().string());
        cards += contacts.size();
        for (const Contact& contact : contacts)
            EXPECT_TRUE(isValidContact(contact));
    }
    EXPECT_EQ(store.contacts().size(), cards);
    EXPECT_EQ(cards, 65u);
}
