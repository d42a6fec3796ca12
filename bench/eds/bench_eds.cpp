// Reading 5,000 contacts from GNOME's address book (a private EDS), next to reading the same
// cards from a vCard folder. Run it inside a throw-away EDS:
//   tests/scripts/with-eds.sh BUILD/bench/eds/bench_eds [COUNT]
#include "platform/AddressBook.h"
#include "platform/EdsContactStore.h"
#include "platform/VCardFolderStore.h"

#include <libebook/libebook.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double millisecondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string cardText(int i) {
    char uid[32];
    std::snprintf(uid, sizeof uid, "bench-%05d", i);
    const std::string n = std::to_string(i);
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + std::string(uid) + "\r\nN:Family" + n + ";Given" + n +
           ";;;\r\nFN:Given" + n + " Family" + n + "\r\nORG:Company " + std::to_string(i % 97) +
           ";Unit\r\nTITLE:Title " + n + "\r\nEMAIL;TYPE=WORK:given" + n + "@work.example\r\nEMAIL;TYPE=HOME:g" + n +
           "@home.example\r\nTEL;TYPE=CELL:+1 555 " + n + "\r\nTEL;TYPE=WORK:+44 20 " + n +
           "\r\nNOTE:A line of notes that neither store needs\\, to give the card a usual size.\r\nEND:VCARD\r\n";
}

bool fail(const char* what, GError* error) {
    std::fprintf(stderr, "bench_eds: %s: %s\n", what, error ? error->message : "failed");
    return false;
}

// Puts the cards into the built-in "Personal" book, in batches.
bool fillPersonal(const std::vector<std::string>& cards) {
    GError* error = nullptr;
    ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
    if (!registry) return fail("registry", error);
    ESource* source = e_source_registry_ref_builtin_address_book(registry);
    EClient* client = e_book_client_connect_sync(source, static_cast<guint32>(-1), nullptr, &error);
    g_object_unref(source);
    bool ok = client != nullptr || fail("connect", error);
    for (std::size_t first = 0; ok && first < cards.size(); first += 500) {
        GSList* batch = nullptr;
        for (std::size_t i = std::min(cards.size(), first + 500); i-- > first;)
            batch = g_slist_prepend(batch, e_contact_new_from_vcard(cards[i].c_str()));
        ok = e_book_client_add_contacts_sync(E_BOOK_CLIENT(client), batch, E_BOOK_OPERATION_FLAG_NONE, nullptr, nullptr,
                                             &error) ||
             fail("add", error);
        g_slist_free_full(batch, g_object_unref);
    }
    if (client) g_object_unref(client);
    g_object_unref(registry);
    return ok;
}

bool sameContacts(const std::vector<Contact>& a, const std::vector<Contact>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Contact& x, const Contact& y) {
        return x.givenName == y.givenName && x.familyName == y.familyName && x.organizationName == y.organizationName &&
               x.jobTitle == y.jobTitle && x.emailAddresses == y.emailAddresses && x.phoneNumbers == y.phoneNumbers;
    });
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 5000;
    const char* home = std::getenv("HOME");
    if (count <= 0 || !home) {
        std::fprintf(stderr, "usage: bench_eds [COUNT], inside tests/scripts/with-eds.sh\n");
        return 2;
    }
    std::vector<std::string> cards;
    for (int i = 0; i < count; ++i)
        cards.push_back(cardText(i));

    const fs::path folder = fs::path(home) / "bench-contacts";
    fs::create_directories(folder);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%05d.vcf", i);
        std::ofstream(folder / name, std::ios::binary) << cards[static_cast<std::size_t>(i)];
    }
    const double fillMs = millisecondsOf([&] {
        if (!fillPersonal(cards)) std::exit(1);
    });

    std::vector<Contact> fromEds, fromFolder;
    const double edsFirst = millisecondsOf([&] { fromEds = EdsContactStore().contacts(); });
    const double folderFirst = millisecondsOf([&] { fromFolder = VCardFolderStore(folder).contacts(); });
    if (fromEds.size() != static_cast<std::size_t>(count) || !sameContacts(fromEds, fromFolder)) {
        std::fprintf(stderr, "bench_eds: the two stores disagree (%zu from EDS, %zu from the folder)\n", fromEds.size(),
                     fromFolder.size());
        return 1;
    }
    std::vector<double> eds, vcard, both;
    for (int round = 0; round < 5; ++round) {
        eds.push_back(millisecondsOf([] { EdsContactStore().contacts(); }));
        vcard.push_back(millisecondsOf([&] { VCardFolderStore(folder).contacts(); }));
        both.push_back(millisecondsOf([&] { AddressBook(folder).contacts(); }));
    }
    const double edsMs = median(eds), vcardMs = median(vcard);
    std::printf("contacts: %d (the same cards in EDS's Personal book and as .vcf files)\n", count);
    std::printf("setup: adding them to EDS took %.0f ms\n", fillMs);
    std::printf("first read:  EDS %8.1f ms   vCard folder %8.1f ms\n", edsFirst, folderFirst);
    std::printf("median of 5: EDS %8.1f ms   vCard folder %8.1f ms   ratio EDS/folder %.1f\n", edsMs, vcardMs,
                edsMs / vcardMs);
    std::printf("per contact: EDS %6.1f us   vCard folder %6.1f us\n", edsMs * 1000 / count, vcardMs * 1000 / count);
    std::printf("address book (folder + EDS, %zu contacts): median %.1f ms\n", 2 * fromEds.size(), median(both));
    return 0;
}
