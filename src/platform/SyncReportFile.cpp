#include "platform/SyncReportFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string failure(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

// mkdir -p with mode 0700 for new folders, as for the XDG base folders themselves.
int makeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) return 0;
    }
}

} // namespace

std::string SyncReportFile::defaultPath() {
    std::string state;
    if (const char* fromEnvironment = std::getenv("XDG_STATE_HOME"); fromEnvironment && fromEnvironment[0] == '/') {
        state = fromEnvironment;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* entry = ::getpwuid(::getuid());
            home = entry && entry->pw_dir ? entry->pw_dir : "/";
        }
        state = std::string(home) + "/.local/state";
    }
    return state + "/PeltwickImporter/last-sync.log";
}

SyncReportFile::SyncReportFile(std::string path) : path_(std::move(path)) {}

/// Writes a temporary file of mode 600 beside the report and renames it over the old one, so a
/// reader sees the whole old report or the whole new one.
std::optional<std::string> SyncReportFile::write(const std::string& report) {
    const std::string folder = path_.substr(0, path_.rfind('/'));
    if (const int error = makeFolders(folder)) return failure("cannot create", folder, error);
    std::string temp = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temp.data()); // mode 600
    if (fd < 0) return failure("cannot write into", folder, errno);
    std::size_t done = 0;
    int error = 0;
    while (done < report.size() && error == 0) {
        const ssize_t n = ::write(fd, report.data() + done, report.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), path_.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return failure("cannot write", path_, error);
    }
    return std::nullopt;
}
