#include "VCardFolderStore.h"
#include "vcard/VCardTestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "vcard-store-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                            ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string card(const std::string& name) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + name + "\r\nEND:VCARD\r\n";
}

std::vector<std::string> names(VCardFolderStore& store) {
    std::vector<std::string> out;
    for (const Contact& contact : store.contacts())
        out.push_back(contact.givenName);
    return out;
}

// The message of the error that reading the folder throws, read as an unprivileged user when the
// test runs as root (root reads files whatever their mode says).
std::optional<std::string> errorOfContacts(const fs::path& folder) {
    const auto run = [&]() -> std::optional<std::string> {
        try {
            VCardFolderStore(folder).contacts();
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return std::nullopt;
    };
    if (::geteuid() != 0) return run();
    int channel[2];
    if (::pipe(channel) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const std::optional<std::string> message = run();
        if (message && ::write(channel[1], message->data(), message->size()) < 0) ::_exit(3);
        ::_exit(message ? 0 : 1);
    }
    ::close(channel[1]);
    std::string message;
    char chunk[256];
    for (ssize_t got; (got = ::read(channel[0], chunk, sizeof chunk)) > 0;)
        message.append(chunk, static_cast<std::size_t>(got));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return message;
}

} // namespace

TEST(VCardFolderStore, ReadsVCardFilesInPathOrder) {
    TempFolder temp;
    const fs::path root = temp.path() / "contacts";
    writeFile(root / "b.vcf", card("b"));
    writeFile(root / "a.vcf", card("a1") + card("a2"));
    writeFile(root / "a" / "z.vcf", card("a/z"));
    writeFile(root / "B.vcf", card("B"));
    writeFile(root / "D.VCF", card("D"));
    writeFile(root / "\xC3\xA9.vcf", card("e-acute"));
    writeFile(root / "book" / "deep" / "er" / "c.vcf", card("book/deep/er/c"));
    writeFile(root / "dir.vcf" / "in-dir.vcf", card("dir.vcf/in-dir"));
    writeFile(root / "empty.vcf", "");
    // Ignored: other files, hidden files and folders.
    writeFile(root / "README", card("readme"));
    writeFile(root / "friends.ctg", card("group file"));
    writeFile(root / "x.vcf.tmp", card("temporary"));
    writeFile(root / ".hidden.vcf", card("hidden file"));
    writeFile(root / ".git" / "x.vcf", card("hidden folder"));
    // Links: a linked file is read, a dangling link and a loop are passed over, a pipe does not block.
    writeFile(temp.path() / "elsewhere" / "card.txt", card("linked"));
    fs::create_symlink(temp.path() / "elsewhere" / "card.txt", root / "linked.vcf");
    fs::create_symlink(temp.path() / "nowhere.vcf", root / "dangling.vcf");
    fs::create_directory_symlink(root, root / "book" / "loop");
    fs::create_directory_symlink(temp.path() / "elsewhere", root / "other");
    writeFile(temp.path() / "elsewhere" / "via-link.vcf", card("other/via-link"));
    ASSERT_EQ(::mkfifo((root / "pipe.vcf").c_str(), 0644), 0);

    VCardFolderStore store(root);
    EXPECT_TRUE(store.requestAccess());
    EXPECT_EQ(names(store), (std::vector<std::string>{"B", "D", "a1", "a2", "a/z", "b", "book/deep/er/c",
                                                      "dir.vcf/in-dir", "linked", "other/via-link", "e-acute"}));
    EXPECT_EQ(store.contactFiles().front(), root / "B.vcf");
}

TEST(VCardFolderStore, MissingOrUnreadableFolderIsAnError) {
    TempFolder temp;
    const fs::path missing = temp.path() / "contacts";
    try {
        VCardFolderStore(missing).contacts();
        ADD_FAILURE() << "no error for a missing folder";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "No address book was found at " + missing.string() + ": the folder does not exist.");
    }
    writeFile(missing, card("a file, not a folder"));
    EXPECT_THROW(VCardFolderStore(missing).contacts(), std::runtime_error);

    const fs::path root = temp.path() / "book";
    writeFile(root / "a.vcf", card("a"));
    writeFile(root / "secret.vcf", card("secret"));
    fs::permissions(root / "secret.vcf", fs::perms::none);
    EXPECT_EQ(errorOfContacts(root),
              "Could not read the contact file " + (root / "secret.vcf").string() + ": Permission denied.");
    fs::permissions(root / "secret.vcf", fs::perms::owner_read | fs::perms::others_read);
    writeFile(root / "locked" / "b.vcf", card("b"));
    fs::permissions(root / "locked", fs::perms::none);
    EXPECT_EQ(errorOfContacts(root),
              "Could not read the folder " + (root / "locked").string() + ": Permission denied.");
}

TEST(VCardFolderStore, DefaultFolderFollowsXdgRules) {
    const char* savedHome = std::getenv("HOME");
    const char* savedData = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> home = savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
    const std::optional<std::string> data = savedData ? std::optional<std::string>(savedData) : std::nullopt;

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
