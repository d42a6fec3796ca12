// The vCard folder address book: the reader's syntax, real cards, and the folder store.
#include "platform/VCardFolderStore.h"
#include "platform/VCardParser.h"
#include "support/Fakes.h"

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;
using Contacts = std::vector<Contact>;

// A Latin-1 text in UTF-16 or UTF-32 (`width` bytes a character), little- or big-endian.
static std::string wide(const std::string& text, std::size_t width, bool little) {
    std::string out;
    for (const char c : text)
        out += std::string(little ? 0 : width - 1, '\0') + c + std::string(little ? width - 1 : 0, '\0');
    return out;
}

TEST(VCardParser, SyntaxPoints) {
    std::string nested; // past eight levels, cards are skipped with what they hold
    for (int i = 0; i < 10; ++i)
        nested = "BEGIN:VCARD\nFN:x\n" + nested + "END:VCARD\nTEL:1\n";
    const std::pair<std::string, Contacts> rows[] = {
        // Names in any case, group prefixes; line ends LF, CRLF, CR CR LF or CR; a byte-order mark.
        {"begin:vcard\nversion:4.0\nn:King;Ada\nOrg:E\ntItLe:C\nitem1.EMAIL:a@x\nITEM2.tel;type=cell:1\nend:vCard",
         {{"Ada", "King", "E", "C", {"a@x"}, {"1"}}}},
        {std::string("\xEF\xBB\xBF") + "BEGIN:VCARD\r\nN:King;Ada\r\r\nEND:VCARD\r\n", {person("Ada", "King")}},
        {"BEGIN:VCARD\rFN:Bo\rEND:VCARD\r", {person("Bo")}},
        // Folds by a space or a tab in names, parameters and values, splitting a UTF-8 character.
        {"BEGIN:VCARD\r\nN:M\xC3\r\n \xB6hrke;A\r\n\tda\r\nOR\r\n G:Analytical  \r\n  Engines\r\nTITLE;LANG\r\n"
         " UAGE=en:Countess\nEMAIL;TYPE=INTERNET\n ,PREF:ada@\n example.org\nEND:VCARD\n",
         {{"Ada", "Möhrke", "Analytical   Engines", "Countess", {"ada@example.org"}, {}}}},
        // Escapes and components; an unknown escape and a final backslash stay.
        {"BEGIN:VCARD\nN:K\\, L;A\\;B\\\\;Byron;;\nORG:E\\; A\\, L;R\\&D\nTITLE:L\\nb\\Nc\\, d\\: \\q\nEMAIL:s\\;c@x\n"
         "TEL:1\\\nEND:VCARD\n",
         {{"A;B\\", "K, L", "E; A, L", "L\nb\nc, d: \\q", {"s;c@x"}, {"1\\"}}}},
        // Quoted parameter values hold colons and semicolons; tel: URIs; an unclosed quote.
        {"BEGIN:VCARD\nN;SORT-AS=\"King;Ada\":King;Ada\nORG;X-A=\"a:b;c\";TYPE=work:Engines\n"
         "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+44-20-7946-0000;ext=12\nEMAIL;X=\"unclosed:a@x\n",
         {{"Ada", "King", "Engines", "", {"a@x"}, {"+44-20-7946-0000;ext=12"}}}},
        // 2.1: bare parameters; QUOTED-PRINTABLE soft breaks in UTF-8 characters, before "#", " ", "TEL:".
        {"BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;QUOTED-PRINTABLE:M=C3=\r\n=B6hrke;Ad=\r\n#a\r\nTEL;HOME:1\r\n"
         "ORG;ENCODING=QUOTED-PRINTABLE:Caf=C3=A9=\r\n Royal=3B;Unit\r\nTEL;ENCODING=quoted-printable:2=3D3\r\n"
         "NOTE;QUOTED-PRINTABLE:call=\r\nTEL:999=\r\nEND:VCARD=0A\r\nEND:VCARD\r\n",
         {{"Ad#a", "Möhrke", "Café Royal", "", {}, {"1", "2=3"}}}},
        // CHARSET by ICU; an unknown one or UTF-16 reads as UTF-8, ill-formed as U+FFFD; BASE64 text.
        {"BEGIN:VCARD\nN;CHARSET=ISO-8859-1:M\xF6hrke;J\xFCrgen\nORG;CHARSET=Windows-1251;QUOTED-PRINTABLE:=CA=E8=BF"
         "=E2\nTITLE;CHARSET=SHIFT_JIS:\x83\x5C\x83\x74\x83\x67\nEMAIL;CHARSET=x-nonsense:a\xC3\xA9@b\nEMAIL:a\xFF@b\n"
         "TEL;CHARSET=UTF-16:12\nTEL:\xED\xA0\x80\nTEL;ENCODING=b:MzQ1\n",
         {{"Jürgen", "Möhrke", "Київ", "ソフト", {"aé@b", "a\uFFFD@b"}, {"12", "\uFFFD\uFFFD\uFFFD", "345"}}}},
        // The first N, ORG and TITLE count; every EMAIL and TEL in card order, whatever TYPE or PREF say.
        {"BEGIN:VCARD\nTEL:1\nN:King;Ada;A;Dr.;\nN:O\nFN:F\nORG:E;R\nORG:S\nTITLE:C\nTITLE:S\nEMAIL;TYPE=home:h@x\n"
         "EMAIL;PREF=1:p@x\nEMAIL:\nTEL;PREF=1:2\n",
         {{"Ada", "King", "E", "C", {"h@x", "p@x", ""}, {"1", "2"}}}},
        // FN stands in for a missing, empty or blank N; an organisation alone; contact groups left out.
        {"BEGIN:VCARD\nVERSION:3.0\nFN:Ada\nEND:VCARD\nBEGIN:VCARD\nN:;;;;\nFN:Ada\nEND:VCARD\n"
         "BEGIN:VCARD\nN: ; \t;Mid;Dr.;\nFN:Ada\nEND:VCARD\nBEGIN:VCARD\nFN:Ada King\nN:;Bo\nEND:VCARD\n"
         "BEGIN:VCARD\nKIND:org\nN:;;;;\nFN:\nORG:Acme;\nEND:VCARD\nBEGIN:VCARD\nKIND:group\nFN:F\nEND:VCARD\n"
         "BEGIN:VCARD\nX-ADDRESSBOOKSERVER-KIND: Group\nFN:G\nEND:VCARD\nBEGIN:VCARD\nKIND:individual\nFN:Cy\n",
         {person("Ada"), person("Ada"), person("Ada", " "), person("Bo"), {"", "", "Acme", "", {}, {}}, person("Cy")}},
        // Broken lines skipped; nested, cut off and BEGIN-less cards read; empty ones dropped; nesting.
        {"garbage\nBEGIN:VCALENDAR\nEND:VCALENDAR\nEND:VCARD\nBEGIN:VCARD\nN:;;\nEND:VCARD\nBEGIN:VCARD\n# comment\n"
         "FN\n:no name\n;;;\nN:Lee;Bo\nBEGIN:VCARD\nN:Nested;Agent\nEND:VCARD\nTEL:1\nEND:VCARD\n"
         "VERSION:3.0\nFN:Lost Begin\nEND:VCARD\nBEGIN:VCARD\nFN:Cut Off\nE",
         {{"Bo", "Lee", "", "", {}, {"1"}}, person("Agent", "Nested"), person("Lost Begin"), person("Cut Off")}},
        {nested, Contacts(8, {"x", "", "", "", {}, {"1"}})},
        // A line longer than 1 MiB, in one piece or folded, is skipped.
        {"BEGIN:VCARD\nN:" + std::string(VCardParser::maxLineBytes, 'a') + "\nFN:Ada\n", {person("Ada")}},
        {"BEGIN:VCARD\nN:" + std::string(600000, 'a') + "\n " + std::string(600000, 'a') + "\nFN:A\n", {person("A")}},
        // UTF-16 and UTF-32 files, with and without a byte-order mark (CHARSET does not apply).
        {"\xFF\xFE" + wide("BEGIN:VCARD\nN;CHARSET=latin1:M\xF6hrke;Ada\n", 2, true) + "X", {person("Ada", "Möhrke")}},
        {wide("BEGIN:VCARD\nFN:Ada\n", 2, true), {person("Ada")}},
        {wide("BEGIN:VCARD\nFN:Ada\n", 2, false), {person("Ada")}},
        {std::string("\xFF\xFE\0\0", 4) + wide("BEGIN:VCARD\nFN:Ada\n", 4, true), {person("Ada")}},
    };
    for (const auto& [bytes, contacts] : rows)
        EXPECT_EQ(VCardParser::parse(bytes), contacts) << bytes.substr(0, 300);
}

// Real cards (tests/vcard/data, see SOURCES.md): every file reads, and a few that took some doing.
TEST(VCardCorpus, RealFiles) {
    const fs::path data = fs::path(std::getenv("PELTWICK_SOURCE_DIR")) / "tests/vcard/data";
    EXPECT_EQ(VCardFolderStore(data).contacts().size(), 65u);
    const auto read = [&](const char* name) {
        return VCardParser::parse(std::string(std::istreambuf_iterator<char>(std::ifstream(data / name).rdbuf()), {}));
    };
    const std::vector<std::string> phones{"905-555-1234", "905-666-1234", "905-777-1234", "905-888-1234",
                                          "905-999-1234", "905-111-1234", "905-222-1234"};
    EXPECT_EQ(read("ez-vcard__John_Doe_IPHONE.vcf"), // CR CR LF, groups, a photo
              Contacts({{"John", "Doe", "IBM", "Money Counter", {"john.doe@ibm.com"}, phones}}));
    const std::string cjk = "十城目管理大型知座"; // soft breaks inside characters
    EXPECT_EQ(read("evolution-data-server__5.vcf"),
              Contacts({{cjk, "", cjk, cjk, {"weird@weird.com"}, {cjk, cjk, cjk, cjk}}}));
}

// Defined in a build with AddressSanitizer, whose shadow memory inflates the peak memory.
extern "C" [[gnu::weak]] void __asan_init();

struct VCardFolder : ::testing::Test {
    const fs::path temp = ::mkdtemp((fs::temp_directory_path() / "vcard-store-XXXXXX").string().data());
    void TearDown() override { fs::remove_all(temp); }

    void write(const fs::path& path, const std::string& name) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" << name << "\r\nEND:VCARD\r\n";
    }
    std::string errorOf(const std::string& folder) try {
        return VCardFolderStore(temp / folder).contacts(), "";
    } catch (const std::runtime_error& error) {
        return error.what();
    }
};

TEST_F(VCardFolder, ReadsVCardFilesInPathOrderOrNamesThePlaceAndTheReason) {
    const fs::path root = temp / "contacts";
    // Each card is named after its file. Passed over: other files, hidden files and folders.
    for (const char* file : {"b.vcf", "a/z.vcf", "B.vcf", "D.VCF", "é.vcf", "book/deep/c.vcf", "dir.vcf/in-dir.vcf",
                             "README", "x.vcf.tmp", ".hidden.vcf", ".git/x.vcf", "../elsewhere/via-link.vcf"})
        write(root / file, file);
    // Links to a file and a folder are followed; a dangling link and a loop are passed over.
    fs::create_symlink("../elsewhere/via-link.vcf", root / "linked.vcf");
    fs::create_symlink("../elsewhere", root / "other");
    fs::create_symlink("../nowhere.vcf", root / "dangling.vcf");
    fs::create_symlink("..", root / "book/loop");
    ASSERT_EQ(::mkfifo((root / "pipe.vcf").c_str(), 0644), 0); // and a pipe does not block
    std::string names;
    for (const Contact& contact : VCardFolderStore(root).contacts())
        names += contact.givenName + " ";
    EXPECT_EQ(names, "B.vcf D.VCF a/z.vcf b.vcf book/deep/c.vcf dir.vcf/in-dir.vcf ../elsewhere/via-link.vcf "
                     "../elsewhere/via-link.vcf é.vcf ");
    // Unreadable entries stop the pass (their contacts would be missing silently), as do too large files.
    const fs::path file = temp / "a/secret.vcf", folder = temp / "b/locked", huge = temp / "c/huge.vcf";
    write(file, "secret");
    write(huge, "huge");
    fs::create_directories(folder);
    ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(VCardFolderStore::maxFileBytes) + 1), 0);
    ::chmod(temp.c_str(), 0755), ::chmod(file.c_str(), 0), ::chmod(folder.c_str(), 0); // temp open, these two closed
    if (::geteuid() == 0) ::setfsgid(65534), ::setfsuid(65534); // root reads whatever the modes say
    EXPECT_EQ(errorOf("d"), "No address book was found at " + (temp / "d").string() + ": the folder does not exist.");
    EXPECT_EQ(errorOf("a"), "Could not read the contact file " + file.string() + ": Permission denied.");
    EXPECT_EQ(errorOf("b"), "Could not read the folder " + folder.string() + ": Permission denied.");
    EXPECT_EQ(errorOf("c"), "Could not read the contact file " + huge.string() + ": it is larger than 1024 MiB.");
    ::setfsuid(::geteuid()), ::setfsgid(::getegid()), ::chmod(folder.c_str(), 0700);
}

// Floods of BEGIN lines, empty cards and tiny cards: memory stays within four files and the allowance.
TEST_F(VCardFolder, FloodsStayWithinTheMemoryBound) {
    const std::size_t size = (__asan_init ? std::size_t{16} : std::size_t{32}) << 20; // tiny cards past the budget
    auto peak = [usage = rusage{}]() mutable { return ::getrusage(RUSAGE_SELF, &usage), usage.ru_maxrss << 10; };
    const long bound = peak() + static_cast<long>(4 * size + VCardFolderStore::memoryAllowance) + (long{16} << 20);
    for (const auto& [unit, error] : std::vector<std::pair<std::string, std::string>>{
             {"BEGIN:VCARD\n", ""},
             {"BEGIN:VCARD\r\nVERSION:3.0\r\nEND:VCARD\r\n", ""},
             {"BEGIN:VCARD\nFN:a\nEND:VCARD\n", "Could not read the contact file " + (temp / "flood.vcf").string() +
                                                    ": it holds more cards than can be kept in memory."}}) {
        std::ofstream out(temp / "flood.vcf"); // a card at a time, to hold no more than the reader
        std::fill_n(std::ostream_iterator<std::string>(out), size / unit.size() + 1, unit);
        out.close();
        EXPECT_EQ(errorOf(""), error) << unit;
        EXPECT_LE(__asan_init ? 0 : peak(), bound) << unit; // not under AddressSanitizer
    }
}

TEST(VCardFolderStore, DefaultFolderFollowsXdgRules) {
    ::setenv("HOME", "/home/ada", 1);
    const std::string home = "/home/ada/.local/share/contacts"; // when XDG_DATA_HOME is unset, empty or relative
    for (const auto& [data, folder] : std::vector<std::pair<const char*, std::string>>{
             {"/srv/data", "/srv/data/contacts"}, {nullptr, home}, {"", home}, {"relative/data", home}}) {
        data ? ::setenv("XDG_DATA_HOME", data, 1) : ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(VCardFolderStore::defaultFolder(), folder) << (data ? data : "unset");
    }
}
