#include "platform/VCardFolderStore.h"
#include "vcard/VCardTestSupport.h"

#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

#ifndef __has_feature // gcc tells AddressSanitizer by __SANITIZE_ADDRESS__, clang by this
#define __has_feature(feature) 0
#endif

namespace {

// A fresh folder under /tmp, readable by others (the unreadable-file check runs as nobody).
struct VCardFolder : ::testing::Test {
    fs::path temp;
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vcard-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        temp = pattern;
        fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(temp, ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                            ignored);
        fs::remove_all(temp, ignored);
    }
};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string vcf(const std::string& name) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + name + "\r\nEND:VCARD\r\n";
}

// The message of the error that reading the folder throws. Root reads files whatever their mode
// says, so a thread of its own reads them as nobody (the file-system user is per thread).
std::optional<std::string> errorOfContacts(const fs::path& folder) {
    std::optional<std::string> message;
    std::thread([&] {
        if (::geteuid() == 0) {
            ::setfsgid(65534);
            ::setfsuid(65534);
        }
        try {
            VCardFolderStore(folder).contacts();
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
    }).join();
    return message;
}

} // namespace

TEST_F(VCardFolder, ReadsVCardFilesInPathOrder) {
    const fs::path root = temp / "contacts";
    // Each card is named after its file. Ignored: other files, hidden files and folders.
    for (const char* file : {"b.vcf", "a/z.vcf", "B.vcf", "D.VCF", "é.vcf", "book/deep/er/c.vcf", "dir.vcf/in-dir.vcf",
                             "README", "friends.ctg", "x.vcf.tmp", ".hidden.vcf", ".git/x.vcf"})
        writeFile(root / file, vcf(file));
    writeFile(root / "a.vcf", vcf("a.vcf") + vcf("a.vcf 2"));
    writeFile(root / "empty.vcf", "");
    // Links: a linked file is read, a dangling link and a loop are passed over, a pipe does not block.
    writeFile(temp / "elsewhere" / "card.txt", vcf("linked.vcf"));
    writeFile(temp / "elsewhere" / "via-link.vcf", vcf("other/via-link.vcf"));
    fs::create_symlink(temp / "elsewhere" / "card.txt", root / "linked.vcf");
    fs::create_symlink(temp / "nowhere.vcf", root / "dangling.vcf");
    fs::create_directory_symlink(root, root / "book" / "loop");
    fs::create_directory_symlink(temp / "elsewhere", root / "other");
    ASSERT_EQ(::mkfifo((root / "pipe.vcf").c_str(), 0644), 0);

    VCardFolderStore store(root);
    EXPECT_TRUE(store.requestAccess());
    std::vector<std::string> names;
    for (const Contact& contact : store.contacts())
        names.push_back(contact.givenName);
    EXPECT_EQ(names, (Strings{"B.vcf", "D.VCF", "a.vcf", "a.vcf 2", "a/z.vcf", "b.vcf", "book/deep/er/c.vcf",
                              "dir.vcf/in-dir.vcf", "linked.vcf", "other/via-link.vcf", "é.vcf"}));
    EXPECT_EQ(store.contactFiles().front(), root / "B.vcf");
}

TEST_F(VCardFolder, MissingOrUnreadableFolderIsAnError) {
    const fs::path missing = temp / "contacts";
    EXPECT_EQ(errorOfContacts(missing),
              "No address book was found at " + missing.string() + ": the folder does not exist.");
    writeFile(missing, vcf("a file, not a folder"));
    EXPECT_THROW(VCardFolderStore(missing).contacts(), std::runtime_error);

    const fs::path root = temp / "book";
    writeFile(root / "a.vcf", vcf("a"));
    writeFile(root / "secret.vcf", vcf("secret"));
    fs::permissions(root / "secret.vcf", fs::perms::none);
    EXPECT_EQ(errorOfContacts(root),
              "Could not read the contact file " + (root / "secret.vcf").string() + ": Permission denied.");
    fs::permissions(root / "secret.vcf", fs::perms::owner_read | fs::perms::others_read);
    writeFile(root / "locked" / "b.vcf", vcf("b"));
    fs::permissions(root / "locked", fs::perms::none);
    EXPECT_EQ(errorOfContacts(root),
              "Could not read the folder " + (root / "locked").string() + ": Permission denied.");
}

// A file past the size limit (a sparse one here, so the test writes nothing) stops the pass with
// a clear error instead of being read into memory.
TEST_F(VCardFolder, OversizedFileIsAnError) {
    const fs::path root = temp / "contacts";
    writeFile(root / "a.vcf", vcf("a"));
    writeFile(root / "huge.vcf", "");
    ASSERT_EQ(::truncate((root / "huge.vcf").c_str(), static_cast<off_t>(VCardFolderStore::maxFileBytes) + 1), 0);
    EXPECT_EQ(errorOfContacts(root),
              "Could not read the contact file " + (root / "huge.vcf").string() + ": it is larger than 1024 MiB.");
}

// Floods of BEGIN lines and of empty cards read as nothing; tiny cards whose contacts would outgrow
// the memory budget are an error. Reading holds at most four times the file plus the allowance
// (not checked under AddressSanitizer, whose shadow memory inflates the peak).
TEST_F(VCardFolder, FloodsStayWithinTheMemoryBound) {
    constexpr std::size_t size = std::size_t{32} << 20;
    const fs::path root = temp / "contacts";
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const long baseline = usage.ru_maxrss; // KiB
    const std::pair<std::string, bool> floods[] = {{"BEGIN:VCARD\n", false},
                                                   {"BEGIN:VCARD\r\nVERSION:3.0\r\nEND:VCARD\r\n", false},
                                                   {"BEGIN:VCARD\nFN:a\nEND:VCARD\n", true}};
    for (const auto& [unit, refused] : floods) {
        SCOPED_TRACE(unit);
        fs::create_directories(root);
        std::ofstream out(root / "flood.vcf", std::ios::binary); // in pieces, to hold no more than the reader
        for (std::size_t written = 0; written < size; written += unit.size() * 4096)
            out << repeat(unit, 4096);
        out.close();
        const std::string error = "Could not read the contact file " + (root / "flood.vcf").string() +
                                  ": it holds more cards than can be kept in memory.";
        EXPECT_EQ(errorOfContacts(root), refused ? std::optional(error) : std::nullopt);
        ::getrusage(RUSAGE_SELF, &usage);
#if !defined(__SANITIZE_ADDRESS__) && !__has_feature(address_sanitizer)
        EXPECT_LE(static_cast<std::size_t>(usage.ru_maxrss - baseline) << 10,
                  4 * size + VCardFolderStore::memoryAllowance + (std::size_t{16} << 20));
#endif
    }
}

TEST(VCardFolderStore, DefaultFolderFollowsXdgRules) {
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto home = saved("HOME"), data = saved("XDG_DATA_HOME");
    ::setenv("HOME", "/home/ada", 1);
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(VCardFolderStore::defaultFolder(), fs::path("/srv/data/contacts"));
    for (const char* invalid : {"", "relative/data"}) {
        ::setenv("XDG_DATA_HOME", invalid, 1);
        EXPECT_EQ(VCardFolderStore::defaultFolder(), fs::path("/home/ada/.local/share/contacts")) << invalid;
    }
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(VCardFolderStore::defaultFolder(), fs::path("/home/ada/.local/share/contacts"));
    home ? ::setenv("HOME", home->c_str(), 1) : ::unsetenv("HOME");
    data ? ::setenv("XDG_DATA_HOME", data->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
}
