// Reads a generated address book of 10,000 vCard files (one card per file, a photo of 20 to 40 KB
// in every twentieth) and prints how long the folder reader takes next to a baseline that only
// reads the same files' bytes, and the cost per card of parsing from memory.
//
// Usage: bench_vcard [rounds]
#include "platform/VCardFolderStore.h"
#include "platform/VCardParser.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int cardCount = 10000;
constexpr int photoEvery = 20; // 5 %

std::string base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i < bytes.size()) out += "====";
    return out;
}

// A card as a desktop address book writes it, folded at 75 octets.
std::string makeCard(int index, std::mt19937& random) {
    static const char* givenNames[] = {"Ada", "Grace", "Alan", "Edsger", "Barbara", "Ken", "Margaret", "J\xC3\xBCrgen"};
    static const char* familyNames[] = {"King",   "Hopper",   "Turing",   "Dijkstra",
                                        "Liskov", "Thompson", "Hamilton", "M\xC3\xBCller"};
    const std::string given = givenNames[index % 8];
    const std::string family = std::string(familyNames[(index / 8) % 8]) + std::to_string(index);
    std::string card =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Peltwick//Bench//EN\r\nUID:" + std::to_string(1000000 + index) +
        "-bench\r\nFN:" + given + " " + family + "\r\nN:" + family + ";" + given +
        ";;;\r\nORG:Analytical Engines\\, Ltd;Research\r\nTITLE:Engineer\r\n" + "EMAIL;TYPE=INTERNET,WORK:" + family +
        "@example.com\r\nEMAIL;TYPE=INTERNET,HOME:" + given + "." + family +
        "@example.org\r\nTEL;TYPE=CELL:+44 7700 900" + std::to_string(index % 1000) +
        "\r\nTEL;TYPE=WORK,VOICE:+44 20 7946 0" + std::to_string(index % 1000) +
        "\r\nADR;TYPE=WORK:;;1 Long Street;London;;EC1A 1AA;United Kingdom\r\n" +
        "NOTE:Met at the conference\\, talked about\\nengines and cards.\r\nREV:2026-01-01T00:00:00Z\r\n";
    if (index % photoEvery == 0) {
        std::uniform_int_distribution<int> size(20 * 1024, 40 * 1024), byte(0, 255);
        std::string jpeg(static_cast<std::size_t>(size(random)), '\0');
        for (char& c : jpeg)
            c = static_cast<char>(byte(random));
        const std::string line = "PHOTO;ENCODING=b;TYPE=JPEG:" + base64(jpeg);
        card += line.substr(0, 75) + "\r\n";
        for (std::size_t at = 75; at < line.size(); at += 74)
            card += " " + line.substr(at, 74) + "\r\n";
    }
    return card + "END:VCARD\r\n";
}

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string readBytes(const std::string& path) {
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(got));
    ::close(fd);
    return bytes;
}

struct Figures {
    double best = 1e9, median = 0;
};

Figures measure(int rounds, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i)
        times.push_back(seconds(work));
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::string pattern = (fs::temp_directory_path() / "bench-vcard-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = fs::path(pattern) / "contacts";
    fs::create_directories(folder);
    std::mt19937 random(42);
    std::size_t totalBytes = 0;
    for (int i = 0; i < cardCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%08x-card.vcf", static_cast<unsigned>(i * 2654435761u));
        const std::string card = makeCard(i, random);
        totalBytes += card.size();
        std::ofstream(folder / name, std::ios::binary) << card;
    }
    std::printf("folder: %d cards in %d files, %.1f MB, photos in %d %% of them; %d rounds, best and median\n",
                cardCount, cardCount, totalBytes / 1e6, 100 / photoEvery, rounds);

    VCardFolderStore store(folder);
    std::size_t seen = 0;
    const Figures listing = measure(rounds, [&] { seen = store.contactFiles().size(); });
    const Figures baseline = measure(rounds, [&] {
        std::size_t bytes = 0;
        for (const fs::path& file : store.contactFiles())
            bytes += readBytes(file.string()).size();
        if (bytes != totalBytes) std::fprintf(stderr, "baseline read %zu of %zu bytes\n", bytes, totalBytes);
    });
    std::size_t contacts = 0;
    const Figures reading = measure(rounds, [&] { contacts = store.contacts().size(); });

    std::vector<std::string> files;
    for (const fs::path& file : store.contactFiles())
        files.push_back(readBytes(file.string()));
    std::size_t parsed = 0;
    const Figures parsing = measure(rounds, [&] {
        parsed = 0;
        for (const std::string& bytes : files)
            parsed += VCardParser::parse(bytes).size();
    });
    std::vector<std::string> plain, photos;
    for (std::size_t i = 0; i < files.size(); ++i)
        (files[i].find("PHOTO") != std::string::npos ? photos : plain).push_back(files[i]);
    const auto perCard = [&](const std::vector<std::string>& set) {
        const Figures figures = measure(rounds, [&] {
            for (const std::string& bytes : set)
                VCardParser::parse(bytes);
        });
        return figures.best / static_cast<double>(set.size()) * 1e6;
    };
    const double plainCost = perCard(plain), photoCost = perCard(photos);

    std::printf("listing the folder (%zu files):          best %7.1f ms  median %7.1f ms\n", seen, listing.best * 1e3,
                listing.median * 1e3);
    std::printf("baseline, list + read every file's bytes: best %7.1f ms  median %7.1f ms\n", baseline.best * 1e3,
                baseline.median * 1e3);
    std::printf("VCardFolderStore::contacts (%zu cards):  best %7.1f ms  median %7.1f ms  (target < 300 ms)\n",
                contacts, reading.best * 1e3, reading.median * 1e3);
    std::printf("  ratio to the baseline: %.2f (best), %.2f (median)\n", reading.best / baseline.best,
                reading.median / baseline.median);
    std::printf("parsing from memory (%zu cards):         best %7.1f ms, %.2f us per card\n", parsed,
                parsing.best * 1e3, parsing.best / static_cast<double>(parsed) * 1e6);
    std::printf("  per card without a photo: %.2f us (%zu cards); with a photo: %.2f us (%zu cards)\n", plainCost,
                plain.size(), photoCost, photos.size());

    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return contacts == static_cast<std::size_t>(cardCount) ? 0 : 1;
}
