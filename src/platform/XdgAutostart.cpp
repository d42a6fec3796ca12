#include "platform/XdgAutostart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string describe(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

std::string configHome() {
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : "/";
    }
    return std::string(home) + "/.config";
}

std::optional<std::string> runningExecutable() {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

// mkdir -p with mode 0700 for new folders, as for the XDG base folders themselves.
int makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) return 0;
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

XdgAutostart::XdgAutostart(std::string entryId, std::string displayName)
    : entryId_(std::move(entryId)), displayName_(std::move(displayName)) {}

std::string XdgAutostart::entryPath() const {
    return configHome() + "/autostart/" + entryId_ + ".desktop";
}

/// Inside double quotes the Exec format wants `"`, `` ` ``, `$` and `\` escaped with a
/// backslash, and a literal "%" doubled; the key file's string rules then double every
/// backslash again and spell line breaks as \n.
std::string XdgAutostart::quoteExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        switch (c) {
        case '"':
        case '`':
        case '$':
            quoted += "\\\\";
            quoted += c;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            quoted += c;
        }
    }
    return quoted + "\"";
}

/// The icon is the program's own, installed under its application id, which names the entry too.
/// The delay and the tray keys make session managers start the program after the panel, since
/// the icon has nowhere to go until a tray is up.
std::string XdgAutostart::entryText(const std::string& executable) const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           displayName_ +
           "\n"
           "Comment=Copies your address book into your Peltwick vault\n"
           "Exec=" +
           quoteExecArgument(executable) +
           "\n"
           "Icon=" +
           entryId_ +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-GNOME-Autostart-Delay=" +
           std::to_string(startDelaySeconds) +
           "\n"
           "X-KDE-autostart-after=panel\n"
           "X-LXQt-Need-Tray=true\n";
}

/// Reads only the [Desktop Entry] group, of an entry that is a regular file or a link to one: a
/// folder or anything else at its path counts as not registered, and so does an unreadable entry.
LoginItemService::Status XdgAutostart::status() {
    const int fd = open(entryPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Status::notRegistered;
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        // An entry is a few hundred bytes; what lies past the first 64 KiB is not read.
        text.resize(std::size_t{64} << 10);
        size_t used = 0;
        for (ssize_t n = 0; used < text.size(); used += static_cast<size_t>(n)) {
            n = read(fd, text.data() + used, text.size() - used);
            if (n < 0 && errno == EINTR)
                n = 0;
            else if (n <= 0)
                break;
        }
        text.resize(used);
    }
    close(fd);
    if (!S_ISREG(info.st_mode)) return Status::notRegistered;
    bool inEntryGroup = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inEntryGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntryGroup) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, eq));
        const std::string value = trimmed(line.substr(eq + 1));
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return Status::notRegistered;
    }
    return Status::enabled;
}

/// Writes the entry to a temporary file beside it and renames it into place, so a reader never
/// sees half an entry. An entry the user disabled is replaced by an enabled one; a folder or
/// anything else but a regular file (or a link to one) at the entry's path is left alone.
std::optional<std::string> XdgAutostart::registerItem() {
    const std::optional<std::string> executable = runningExecutable();
    if (!executable) return describe("Cannot find the path of", "the running program", errno ? errno : ENOENT);
    const std::string path = entryPath();
    if (struct stat info{}; stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return "Cannot write " + path + ": it is " + (S_ISDIR(info.st_mode) ? "a folder" : "not a regular file") +
               "; remove or rename it.";
    const std::string folder = path.substr(0, path.rfind('/'));
    if (const int error = makeFolders(folder)) return describe("Cannot create", folder, error);

    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return describe("Cannot write into", folder, errno);
    const bool written = writeAll(fd, entryText(*executable)) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        unlink(temp.c_str());
        return describe("Cannot write", temp, error);
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        return describe("Cannot write", path, error);
    }
    return std::nullopt;
}

/// Removes the entry; one that is already gone counts as removed.
std::optional<std::string> XdgAutostart::unregisterItem() {
    const std::string path = entryPath();
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return describe("Cannot remove", path, errno);
    return std::nullopt;
}
