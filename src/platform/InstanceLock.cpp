#include "platform/InstanceLock.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstanceLock::InstanceLock() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        path_ = std::string(runtime) + "/app.peltwick.importer.lock";
    else // per user, as the runtime folder would be
        path_ = "/tmp/app.peltwick.importer-" + std::to_string(::getuid()) + ".lock";
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

/// A lock file that cannot be opened at all (a read-only or full folder) does not stop the
/// program: it then runs without the guard rather than not at all.
bool InstanceLock::acquire() {
    if (held_) return true;
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return held_ = true;
    held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return held_;
}
