// Speed of a sync pass against a real WebDAV server, next to curl doing the same requests in the
// same run. Run through bench/dav/run.sh, which starts the server and sets PELTWICK_DAV_*.
//
//  (a) a pass of N new contacts into an empty vault, against one curl process making the same N
//      PUTs (same names, same bodies, If-None-Match: *) over one kept-alive connection;
//  (b) the next pass, with all N notes present (one listing, no uploads), against one curl process
//      fetching the same Depth-1 PROPFIND.
#include "core/ContactsImporter.h"
#include "core/DAVClient.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    if (!value) {
        std::cerr << name << " is not set: run through bench/dav/run.sh\n";
        std::exit(2);
    }
    return value;
}

struct Store : ContactStore {
    std::vector<Contact> people;
    bool requestAccess() override { return true; }
    std::vector<Contact> contacts() override { return people; }
};

std::vector<Contact> makeContacts(int count) {
    std::vector<Contact> people;
    people.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%05d", i);
        Contact c;
        c.givenName = std::string("Person ") + number;
        c.familyName = "Example";
        c.organizationName = "Company " + std::to_string(i % 50);
        c.jobTitle = i % 3 ? "Engineer" : "";
        c.emailAddresses = {std::string("person") + number + "@example.org"};
        c.phoneNumbers = {std::string("+1 555 0100 ") + number};
        people.push_back(std::move(c));
    }
    return people;
}

// Runs argv with stdout to outPath; returns the exit status.
int run(const std::vector<std::string>& argv, const std::string& outPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int listings = 7;
    const std::string url = env("PELTWICK_DAV_URL");
    const fs::path data = env("PELTWICK_DAV_DATA");
    const std::string user = env("PELTWICK_DAV_USER");
    const std::string password = env("PELTWICK_DAV_PASSWORD");
    const std::string credential = user + ":" + password;

    Store store;
    store.people = makeContacts(count);
    const fs::path work = fs::temp_directory_path() / ("peltwick-dav-bench-" + std::to_string(::getpid()));
    fs::create_directories(work / "bodies");

    // The baseline sends exactly the notes and names the pass sends.
    std::vector<std::pair<std::string, fs::path>> uploads;
    std::size_t bodyBytes = 0;
    for (std::size_t i = 0; i < store.people.size(); ++i) {
        const Contact& c = store.people[i];
        const auto name = ContactsImporter::displayName(c);
        const std::string file = ContactsImporter::fileName(*name);
        const std::optional<std::string> title = c.jobTitle.empty() ? std::nullopt : std::optional(c.jobTitle);
        const std::string note = ContactsImporter::renderPerson(*name, c.organizationName, title,
                                                                c.emailAddresses.front(), c.phoneNumbers.front());
        bodyBytes += note.size();
        const fs::path body = work / "bodies" / file;
        std::ofstream(body, std::ios::binary) << note;
        uploads.emplace_back(file, body);
    }
    std::cout << "server " << env("PELTWICK_DAV_SERVER") << " at " << url << ", " << count << " contacts, "
              << bodyBytes / static_cast<std::size_t>(count) << " bytes per note on average\n";

    std::vector<double> curlPut, passPut;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        const std::string collection = "/dav/baseline-" + std::to_string(round) + "/";
        {
            std::ofstream config(work / "curl.cfg");
            config << "user = \"" << credential << "\"\nheader = \"If-None-Match: *\"\n"
                   << "header = \"Content-Type: text/markdown\"\nheader = \"Expect:\"\n"
                   << "write-out = \"%{http_code} %{num_connects}\\n\"\nsilent\nmax-time = 30\n";
            for (const auto& [file, body] : uploads)
                config << "url = \"" << url << collection << file << "\"\nupload-file = \"" << body.string()
                       << "\"\noutput = \"/dev/null\"\n";
        }
        run({"curl", "-s", "-o", "/dev/null", "-X", "MKCOL", "-u", credential, url + collection},
            (work / "mkcol.out").string());
        fs::remove_all(data / "contacts");

        auto timeCurl = [&] {
            const auto start = Clock::now();
            const int status = run({"curl", "-K", (work / "curl.cfg").string()}, (work / "codes").string());
            curlPut.push_back(msSince(start));
            std::ifstream codes(work / "codes");
            int created = 0, connects = 0, code = 0, opened = 0;
            while (codes >> code >> opened) {
                created += code == 201;
                connects += opened;
            }
            if (status != 0 || created != count || connects != 1) {
                std::cerr << "baseline: curl status " << status << ", " << created << " created, " << connects
                          << " connections\n";
                ok = false;
            }
        };
        auto timePass = [&] {
            const auto start = Clock::now();
            DAVClient dav(url, user, password);
            const auto summary = ContactsImporter::sync(dav, store);
            passPut.push_back(msSince(start));
            if (summary.added != count) {
                std::cerr << "pass added " << summary.added << " of " << count << "\n";
                ok = false;
            }
        };
        // Alternate the order, so that neither side always runs on a warmer server.
        if (round % 2 == 0) {
            timeCurl();
            timePass();
        } else {
            timePass();
            timeCurl();
        }
        std::cout << "  round " << round + 1 << ": curl " << curlPut.back() << " ms, pass " << passPut.back()
                  << " ms\n";
    }

    // (b) All notes present: the pass lists once and uploads nothing.
    std::vector<double> curlList, passList, listOnly;
    std::uintmax_t listingBytes = 0;
    for (int i = 0; i < listings; ++i) {
        auto start = Clock::now();
        run({"curl", "-s", "-o", (work / "listing.xml").string(), "-X", "PROPFIND", "-H", "Depth: 1", "-u", credential,
             url + "/dav/contacts/"},
            (work / "list.out").string());
        curlList.push_back(msSince(start));
        listingBytes = fs::file_size(work / "listing.xml");

        start = Clock::now();
        DAVClient dav(url, user, password);
        const auto summary = ContactsImporter::sync(dav, store);
        passList.push_back(msSince(start));
        if (summary.added != 0 || summary.skipped != count) {
            std::cerr << "next pass: added " << summary.added << ", skipped " << summary.skipped << "\n";
            ok = false;
        }

        start = Clock::now();
        DAVClient lister(url, user, password);
        const auto names = lister.listContactFiles();
        listOnly.push_back(msSince(start));
        if (names.size() != static_cast<std::size_t>(count)) ok = false;
    }
    fs::remove_all(work);

    const double curlPutMs = median(curlPut), passPutMs = median(passPut);
    const double curlListMs = median(curlList), passListMs = median(passList);
    std::printf("\n(a) %d new notes into an empty vault (median of %d rounds)\n", count, rounds);
    std::printf("    curl, one process, one connection: %8.1f ms  (%.0f us per PUT)\n", curlPutMs,
                curlPutMs * 1000 / count);
    std::printf("    sync pass:                         %8.1f ms  (%.0f us per PUT)\n", passPutMs,
                passPutMs * 1000 / count);
    std::printf("    ratio pass/curl: %.3f  (target <= 1.10)\n", passPutMs / curlPutMs);
    std::printf("\n(b) next pass, all %d present (median of %d; listing %ju bytes)\n", count, listings, listingBytes);
    std::printf("    curl PROPFIND Depth 1:             %8.1f ms\n", curlListMs);
    std::printf("    sync pass (list, read, skip all):  %8.1f ms\n", passListMs);
    std::printf("    listContactFiles alone:            %8.1f ms\n", median(listOnly));
    std::printf("    ratio pass/curl: %.3f  (target <= 1.2)\n", passListMs / curlListMs);
    if (!ok) std::printf("\nSOME REQUESTS FAILED: the figures above are not comparable\n");
    return ok ? 0 : 1;
}
