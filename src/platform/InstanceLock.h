#pragma once

#include <string>

// One copy of the program per user session: an exclusive lock on a file in $XDG_RUNTIME_DIR
// (the temporary folder when that is unset). The kernel drops the lock when the process ends,
// however it ends, so a crash never blocks the next start.
class InstanceLock {
public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process holds the lock (now, or from an earlier call).
    bool acquire();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};
