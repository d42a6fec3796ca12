// Speed of the person-note rules: display name, note text and file name for 100,000 generated
// contacts, a third of them with non-ASCII names. The baseline, measured in the same run, copies
// each contact's strings, the least any per-contact work over the same data must cost.
#include "core/ContactsImporter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Contact> generate(std::size_t count) {
    const std::vector<std::string> asciiGiven{"Ada",      "Charles", "Grace",    "Alan",
                                              "Margaret", "John",    "Mary-Ann", " Lee "};
    const std::vector<std::string> asciiFamily{"King", "Babbage", "Hopper", "Turing", "Hamilton", "O'Neil", "van Dyke"};
    const std::vector<std::string> otherGiven{"\u00C9mile",
                                              "Zo\u00EB",
                                              "\u0141ukasz",
                                              "J\u00F6rg",
                                              "\u0130lker",
                                              "Se\u0301verine",
                                              "\u0410\u043D\u043D\u0430",
                                              "\u674E"};
    const std::vector<std::string> otherFamily{"Br\u00FCnnhilde",    "M\u00FCller-L\u00FCdenscheidt",
                                               "\u00C5ngstr\u00F6m", "\u039A\u03B1\u03C1\u03B1\u03C2",
                                               "\u5C0F\u9F99",       "Da\u011F"};
    const std::vector<std::string> companies{
        "", "", "Analytical Engines Ltd", "ACME, Inc.", "  Initech  ", "Soci\u00E9t\u00E9 G\u00E9n\u00E9rale"};
    const std::vector<std::string> titles{
        "", "", "Head of R&D", "Say \"hi\" \\o/", "Engineer", "Directeur g\u00E9n\u00E9ral"};
    std::mt19937 random(42);
    const auto pick = [&](const std::vector<std::string>& list) { return list[random() % list.size()]; };
    std::vector<Contact> contacts;
    contacts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const bool other = i % 3 == 0;
        Contact contact{pick(other ? otherGiven : asciiGiven),
                        pick(other ? otherFamily : asciiFamily),
                        pick(companies),
                        pick(titles),
                        {},
                        {}};
        if (random() % 2)
            contact.emailAddresses = {"person" + std::to_string(i) + "@example.org", "second@example.org"};
        if (random() % 2) contact.phoneNumbers = {"+1 555 010 " + std::to_string(i % 1000)};
        contacts.push_back(std::move(contact));
    }
    return contacts;
}

// Runs one pass of `work` over every contact and returns microseconds per contact.
template <typename Work> double perContact(const std::vector<Contact>& contacts, Work work, std::size_t& sink) {
    const auto start = Clock::now();
    for (const Contact& contact : contacts)
        sink += work(contact);
    const std::chrono::duration<double, std::micro> elapsed = Clock::now() - start;
    return elapsed.count() / static_cast<double>(contacts.size());
}

// Best of several rounds, so a busy machine distorts the figures less.
template <typename Work> double best(const std::vector<Contact>& contacts, Work work, std::size_t& sink) {
    double fastest = 1e9;
    for (int round = 0; round < 7; ++round)
        fastest = std::min(fastest, perContact(contacts, work, sink));
    return fastest;
}

} // namespace

int main() {
    constexpr std::size_t count = 100'000;
    const std::vector<Contact> contacts = generate(count);
    std::size_t sink = 0;

    const double copy = best(
        contacts,
        [](const Contact& contact) {
            const Contact copy = contact;
            return copy.givenName.size() + copy.familyName.size() + copy.organizationName.size() +
                   copy.jobTitle.size() + copy.emailAddresses.size() + copy.phoneNumbers.size();
        },
        sink);
    const double name = best(
        contacts, [](const Contact& contact) { return ContactsImporter::displayName(contact).value_or("").size(); },
        sink);
    std::vector<std::string> names;
    for (const Contact& contact : contacts)
        names.push_back(ContactsImporter::displayName(contact).value_or(""));
    std::size_t index = 0;
    const double fileName = best(
        contacts, [&](const Contact&) { return ContactsImporter::fileName(names[index++ % count]).size(); }, sink);
    index = 0;
    const double note = best(
        contacts,
        [&](const Contact& contact) { return ContactsImporter::renderNote(contact, names[index++ % count]).size(); },
        sink);
    const double whole = best(
        contacts,
        [](const Contact& contact) {
            const auto name = ContactsImporter::displayName(contact);
            if (!name) return std::size_t{0};
            return ContactsImporter::renderNote(contact, *name).size() + ContactsImporter::fileName(*name).size();
        },
        sink);

    std::printf("%zu contacts, best of 7 rounds, microseconds per contact\n", count);
    std::printf("  baseline (copy the contact's strings) %.3f\n", copy);
    std::printf("  display name                           %.3f\n", name);
    std::printf("  file name (slug + .md)                 %.3f\n", fileName);
    std::printf("  note text                              %.3f\n", note);
    std::printf("  display name + note + file name        %.3f  (%.2f x baseline)\n", whole, whole / copy);
    std::printf("(checksum %zu)\n", sink);
    return 0;
}
