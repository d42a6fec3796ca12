// Cards exported by real address books, phones and sync tools (tests/vcard/data, sources in SOURCES.md).
#include "platform/VCardFolderStore.h"
#include "platform/VCardParser.h"
#include "vcard/VCardTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

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

const std::string cjk = "十城目管理大型知座";
const Strings kmsPhones{"03443-303776", "03443-333440"};
const Contact folker = card("Folker", "Kinzel", "", "", {"email1@wumms.de", "email2@folker-kinzel.de"}, {"0123-45678"});
const Strings johnPhones{"905-555-1234", "905-666-1234", "905-777-1234", "905-888-1234",
                         "905-999-1234", "905-111-1234", "905-222-1234"};
const Strings lotusPhones{"+1-919-676-9515", "+1-919-676-9564"};

// What each file holds; SOURCES.md says what makes each one worth reading.
const std::map<std::string, std::vector<Contact>> expectations = {
    {"kcontacts__vcard3.vcf",
     {card("ian", "geiser", "Source eXtreme", "VP of Engineering", {"geiseri@yahoo.com"}, {})}},
    {"kcontacts__vcard4.vcf",
     {card("", "", "Ximian, Inc.", "", {"hello@ximian.com"}, {"(617) 236-0442", "(617) 236-8630"})}},
    {"kcontacts__vcard9.vcf", {card("", "123ㄓㄕㄖbcde" + repeat("αβγδ", 6) + "αβㄤㄓㄕㄖ", "", "", {}, {})}},
    {"kcontacts__testfullvcard.vcf",
     {card("Sherlock", "Holmes", "", "Detective", {"sherlock.holmes@gmail.com", "detective@sherlockholmes.com"},
           {"+44-555-555-5555;ext=5555", "+44-555-555-6666", "+44-555-555-7777"})}},
    {"ez-vcard__John_Doe_IPHONE.vcf", {card("John", "Doe", "IBM", "Money Counter", {"john.doe@ibm.com"}, johnPhones)}},
    {"ez-vcard__John_Doe_EVOLUTION.vcf",
     {card("John", "Doe", "IBM", "Money Counter", {"john.doe@ibm.com"}, {"905-666-1234", "905-555-1234"})}},
    {"ez-vcard__outlook-2003.vcf",
     {card("John", "Doe", "Company, The", "The Job Title", {"jdoe@hotmail.com"},
           {"BusinessPhone", "HomePhone", "MobilePhone", "BusinessFaxPhone"})}},
    {"ez-vcard__John_Doe_ANDROID.vcf",
     {card("", "", "", "", {"john.doe@company.com"}, {}), card("", "", "", "", {"jane.doe@company.com"}, {}),
      card("", "Ñ Ñ Ñ Ñ ", "", "", {}, {"123456789"}),
      card("", "Ñ Ñ Ñ Ñ Ñ Ñ Ñ Ñ Ñ Ñ Ñ", "", "", {}, {"123456", "234567", "3456789", "45678901"}),
      card("Ñ Ñ Ñ ", "Ñ Ñ ", repeat("Ñ", 12), "", {"bob@company.com", repeat("Ñ", 14)}, {"123456", "123456", "123456"}),
      card("", "ÑÑÑÑ", repeat("Ñ", 44), "", {"henry@company.com"}, {"55556666"})}},
    {"evolution-data-server__5.vcf", {card(cjk, "", cjk, cjk, {"weird@weird.com"}, Strings(4, cjk))}},
    {"evolution-data-server__13.vcf",
     {card("Ralf Engels", "", "Ralf Engels evil tests", "", {"Frank_Dawson@Lotus.com", "semicolon;@points.net"},
           lotusPhones)}},
    {"evolution-data-server__7.vcf",
     {card("Frank Dawson", "", "Lotus Development Corporation", "", {"Frank_Dawson@Lotus.com", "fdawson@earthlink.net"},
           lotusPhones)}},
    {"evolution-data-server__9.vcf", {card("Frank Dawson", "", "Lotus Development Corporation", "", {}, lotusPhones)}},
    {"FolkerKinzel-VCards__Ukrainian.vcf", {card("Віталій", "Кличко\u0301", "", "", {}, {})}},
    {"FolkerKinzel-VCards__v3Utf16Bom.vcf",
     {folker, card("WSF", "KMS", "KMS Außenstelle", "", {" blablö@blub.com"}, kmsPhones)}},
    {"FolkerKinzel-VCards__v3Ansi.vcf",
     {folker, card("WSF", "KMS", "KMS Au\uFFFDenstelle", "", {" blabl\uFFFD@blub.com"}, kmsPhones)}},
    {"FolkerKinzel-VCards__v2_1.vcf",
     {card("Max", "Mustermann", "Firma", "Position",
           {"privat@folker-kinzel.de", "business@folker-kinzel.de", "andere@folker-kinzel.de"},
           {"Tel geschäftlich", "Tel privat", "Handy", "Other Phone", "Pager", "0123/579", "Fax privat"})}},
    {"khard__org.vcf", {card("ACME Inc.", "", "ACME Inc.", "", {}, {})}},
    {"khard__tel-value-uri.vcf", {card("bug 195", "", "", "", {}, {"67545678"})}},
    {"khard__unparsable.vcf", {card("second contact with minimal Vcard", "", "", "", {}, {})}},
    {"android_frameworks_opt_vcard__v21_japanese_2.vcf", {card("ロイド1", "安藤", "", "", {}, {})}},
    {"android_frameworks_opt_vcard__v40_sort_as.vcf", {card("ロイド", "安藤", "グーグル", "", {}, {})}},
    {"android_frameworks_opt_vcard__v21_complicated.vcf",
     {card("Forrest", "Gump", "Gump Shrimp Co.", "Shrimp Man", {"forrestgump@walladalla.com", "cell@example.com"},
           {"(111) 555-1212", "(404) 555-1212", "0311111111", "0322222222", "0333333333"})}},
    {"android_frameworks_opt_vcard__v21_nest.vcf",
     {card("", "parent", "", "", {}, {"1"}), card("", "nest1", "", "", {}, {}), card("", "nest2", "", "", {}, {})}},
    {"android_frameworks_opt_vcard__v21_invalid_comment_line.vcf", {card("Conference Call", "", "", "", {}, {})}},
    {"vcard4android__allfields-vcard3.vcf",
     {card("Firstname", "Lastname", "ABC, Inc.", "Director, Research and Development",
           {"private@example.com", "work@example.com"}, {"+49 1234 56788", "+1-800-MYFAX"})}},
    {"metowolf-vCards__中国铁路.vcf", {card("", "", "中国铁路", "", {"12306@rails.com.cn"}, {"12306"})}},
    {"Radicale__broken-vcard.vcf", {card("", "", "", "", {"test-misses-N-or-FN@example.com"}, {})}},
    {"vobject__vcard40_multilang.vcf", {card("Taro", "Yamada", "", "", {}, {})}},
};

} // namespace

TEST(VCardCorpus, SixPropertiesOfRealCards) {
    for (const auto& [file, expected] : expectations) {
        SCOPED_TRACE(file);
        const std::vector<Contact> contacts = read(file);
        ASSERT_EQ(contacts.size(), expected.size());
        for (std::size_t i = 0; i < contacts.size(); ++i)
            expectContact(contacts[i], expected[i]);
    }
    // Sixteen cards of SyncEvolution's 2.1 sample; a few with traits of their own.
    const std::vector<Contact> sync = read("syncevolution__vcard21.vcf");
    ASSERT_EQ(sync.size(), 16u);
    expectContact(sync[0], card("", "incomplete", "", "", {""}));
    expectContact(
        sync[2], card("John", "Doe", "Test Inc.", "Senior Tester",
                      {"john.doe@work.com", "john.doe@home.priv", "john.doe@other.world", "john.doe@yet.another.world"},
                      {"business 1", "home 2", "mobile 3", "pager 6"}));
    expectContact(sync[5], card("First ; special ;", "Last"));
    expectContact(sync[13], card("Ä", "Ü"));
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
