#include "platform/VCardFolderStore.h"

#include "platform/VCardParser.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

std::string reason(int error) {
    return std::generic_category().message(error);
}

bool isVCardFile(std::string_view name) {
    if (name.size() <= 4) return false;
    const std::string_view extension = name.substr(name.size() - 4);
    return extension[0] == '.' && (extension[1] | 0x20) == 'v' && (extension[2] | 0x20) == 'c' &&
           (extension[3] | 0x20) == 'f';
}

// A file that vanished, or a link that leads nowhere, holds no card.
bool isGone(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() { ::close(fd); }
};

std::string readFile(const std::string& path, bool& gone) {
    gone = false;
    // O_NONBLOCK: a pipe put in place of a file must not stall the pass.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (isGone(error)) {
            gone = true;
            return {};
        }
        throw std::runtime_error("Could not read the contact file " + path + ": " + reason(error) + ".");
    }
    const FileDescriptor closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        gone = true;
        return {};
    }
    const auto tooLarge = [&] {
        return std::runtime_error("Could not read the contact file " + path + ": it is larger than " +
                                  std::to_string(VCardFolderStore::maxFileBytes >> 20) + " MiB.");
    };
    if (static_cast<std::uintmax_t>(info.st_size) > VCardFolderStore::maxFileBytes) throw tooLarge();
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) { // the file grew after fstat
            if (used > VCardFolderStore::maxFileBytes) throw tooLarge();
            bytes.resize(std::min(bytes.size() * 2, VCardFolderStore::maxFileBytes + 1));
        }
        const ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("Could not read the contact file " + path + ": " + reason(errno) + ".");
        }
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
    return bytes;
}

} // namespace

VCardFolderStore::VCardFolderStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

/// The folder KDE's address book uses, by the XDG base-directory rules: a relative
/// XDG_DATA_HOME is invalid and ignored.
std::filesystem::path VCardFolderStore::defaultFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') return std::filesystem::path(dataHome) / "contacts";
    std::string home;
    if (const char* fromEnvironment = std::getenv("HOME"); fromEnvironment && *fromEnvironment)
        home = fromEnvironment;
    else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        home = entry->pw_dir;
    return std::filesystem::path(home) / ".local" / "share" / "contacts";
}

/// Reading files needs no permission beyond the user's own.
bool VCardFolderStore::requestAccess() {
    return true;
}

/// Walks the folder tree. Links are followed, to files and to folders, and a folder reached twice
/// (a link loop, or two links to one folder) is read once. Hidden entries (".git", ".Trash",
/// a sync tool's state) are passed over, and so is anything that is not a .vcf file.
std::vector<std::filesystem::path> VCardFolderStore::contactFiles() const {
    const std::string root = folder_.string();
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        const int error = errno;
        if (isGone(error))
            throw std::runtime_error("No address book was found at " + root + ": the folder does not exist.");
        throw std::runtime_error("Could not read the address book at " + root + ": " + reason(error) + ".");
    }
    if (!S_ISDIR(info.st_mode))
        throw std::runtime_error("No address book was found at " + root + ": it is not a folder.");

    std::set<std::pair<dev_t, ino_t>> visited{{info.st_dev, info.st_ino}};
    std::vector<std::string> pending{root};
    std::vector<std::string> files;
    while (!pending.empty()) {
        const std::string folder = std::move(pending.back());
        pending.pop_back();
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir) throw std::runtime_error("Could not read the folder " + folder + ": " + reason(errno) + ".");
        const std::string prefix = folder.back() == '/' ? folder : folder + "/";
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string_view name = entry->d_name;
            if (name.empty() || name[0] == '.') continue;
            unsigned char type = entry->d_type;
            const bool vcard = isVCardFile(name);
            if (type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN) {
                if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0) {
                    const int error = errno;
                    if (isGone(error) || !vcard) continue;
                    throw std::runtime_error("Could not read the contact file " + prefix + std::string(name) + ": " +
                                             reason(error) + ".");
                }
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
                if (type == DT_DIR && visited.emplace(info.st_dev, info.st_ino).second)
                    pending.push_back(prefix + std::string(name));
            }
            if (type == DT_REG && vcard) files.push_back(prefix + std::string(name));
        }
    }
    std::sort(files.begin(), files.end()); // char_traits<char> compares as unsigned bytes
    return {files.begin(), files.end()};
}

/// Every card of every file, files in path order and cards in file order. A broken card never
/// stops the pass; an unreadable file does, since its contacts would silently be missing. Reading
/// holds one file at a time beside the contacts, which stay within the memory budget.
std::vector<Contact> VCardFolderStore::contacts() {
    std::vector<Contact> all;
    std::size_t budget = memoryAllowance;
    for (const std::filesystem::path& file : contactFiles()) {
        bool gone = false;
        const std::string bytes = readFile(file.string(), gone);
        if (gone) continue;
        budget += 3 * bytes.size();
        if (!VCardParser::parse(bytes, all, budget))
            throw std::runtime_error("Could not read the contact file " + file.string() +
                                     ": it holds more cards than can be kept in memory.");
    }
    return all;
}
