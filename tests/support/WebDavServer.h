#pragma once

#include "core/DAVClient.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

// The real WebDAV server that tests/scripts/with-webdav.sh started, as its environment describes it.
struct WebDavServer {
    static std::string env(const char* name) {
        const char* value = std::getenv(name);
        return value ? value : "";
    }
    std::string url = env("PELTWICK_DAV_URL"), user = env("PELTWICK_DAV_USER"), password = env("PELTWICK_DAV_PASSWORD");
    std::filesystem::path data = env("PELTWICK_DAV_DATA"), rundir = env("PELTWICK_DAV_RUNDIR");
    std::string owner = env("PELTWICK_DAV_OWNER"); // user:group the server writes files as

    std::filesystem::path contacts() const { return data / "contacts"; }
    DAVClient client() const { return DAVClient(url, user, password); }

    // Writes a file as if someone else had put it into the vault, owned like the server's own.
    void put(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = contacts() / name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        const auto colon = owner.find(':');
        const passwd* u = ::getpwnam(owner.substr(0, colon).c_str());
        const group* g = ::getgrnam(owner.substr(colon + 1).c_str());
        if (!u || !g || ::chown(path.c_str(), u->pw_uid, g->gr_gid) != 0)
            throw std::runtime_error("cannot give " + path.string() + " to " + owner);
    }

    // The vault's files by name with their content; a folder reads as "<folder>".
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& entry : std::filesystem::directory_iterator(contacts())) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            all[entry.path().filename().string()] = entry.is_directory() ? "<folder>" : content.str();
        }
        return all;
    }
};
