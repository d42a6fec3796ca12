#include "platform/EdsContactStore.h"

#include "core/Text.h"

#include <libebook/libebook.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace {

// The source registry's well-known name starts with this; the number after it changes with the
// EDS version (Sources5 in 3.46).
constexpr std::string_view registryNamePrefix = "org.gnome.evolution.dataserver.Sources";
constexpr int busCallTimeoutMs = 5000;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using ObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Text from EDS as valid UTF-8; a null pointer reads as empty.
std::string text(const char* value) {
    if (value == nullptr) return {};
    if (g_utf8_validate(value, -1, nullptr)) return value;
    gchar* valid = g_utf8_make_valid(value, -1);
    std::string result(valid);
    g_free(valid);
    return result;
}

std::string fieldText(EContact* contact, EContactField field) {
    return text(static_cast<const char*>(e_contact_get_const(contact, field)));
}

// Cancels a GCancellable when the time is up, unless it was destroyed first.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout) : cancellable_(g_cancellable_new()) {
        watcher_ = std::thread([this, timeout] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, timeout, [this] { return finished_; })) g_cancellable_cancel(cancellable_.get());
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        watcher_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return cancellable_.get(); }
    bool expired() const { return g_cancellable_is_cancelled(cancellable_.get()); }

private:
    ObjectPtr<GCancellable> cancellable_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread watcher_;
};

// A main context of the calling thread's own for the length of one read. What EDS hangs on the
// thread's default context would otherwise go to the global one, which the GUI thread runs; the
// callbacks left at the end run here, on the worker thread, before the context goes.
class PrivateMainContext {
public:
    PrivateMainContext() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_); }
    ~PrivateMainContext() {
        for (int i = 0; i < 1000 && g_main_context_iteration(context_, FALSE); ++i) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    PrivateMainContext(const PrivateMainContext&) = delete;
    PrivateMainContext& operator=(const PrivateMainContext&) = delete;

private:
    GMainContext* context_;
};

// The source registry's name when the bus knows it, running or activatable; empty otherwise.
// Without this check a registry opened on a bus without EDS reports no error and lists nothing.
std::string registryName(GDBusConnection* bus) {
    for (const char* method : {"ListNames", "ListActivatableNames"}) {
        GError* rawError = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", method, nullptr, G_VARIANT_TYPE("(as)"),
                                                      G_DBUS_CALL_FLAGS_NONE, busCallTimeoutMs, nullptr, &rawError);
        ErrorPtr error(rawError);
        if (reply == nullptr) continue;
        GVariantIter* names = nullptr;
        g_variant_get(reply, "(as)", &names);
        std::string found;
        const gchar* name = nullptr;
        while (found.empty() && g_variant_iter_loop(names, "&s", &name))
            if (std::string_view(name).starts_with(registryNamePrefix)) found = name;
        g_variant_iter_free(names);
        g_variant_unref(reply);
        if (!found.empty()) return found;
    }
    return {};
}

// The six properties of one card. A card with only a formatted name gets it as the given name.
Contact contactFrom(EContact* card) {
    Contact contact;
    contact.givenName = fieldText(card, E_CONTACT_GIVEN_NAME);
    contact.familyName = fieldText(card, E_CONTACT_FAMILY_NAME);
    // Blank as the display name sees it, the same rule as for vCard files.
    if (Text::trimSpaces(contact.givenName).empty() && Text::trimSpaces(contact.familyName).empty()) {
        if (std::string formatted = fieldText(card, E_CONTACT_FULL_NAME); !formatted.empty())
            contact.givenName = std::move(formatted);
    }
    contact.organizationName = fieldText(card, E_CONTACT_ORG); // the first ORG component
    contact.jobTitle = fieldText(card, E_CONTACT_TITLE);
    // Every address and number in stored order: EDS keeps them as typed and PREF does not reorder.
    for (GList* item = e_vcard_get_attributes(E_VCARD(card)); item != nullptr; item = item->next) {
        auto* attribute = static_cast<EVCardAttribute*>(item->data);
        const char* name = e_vcard_attribute_get_name(attribute);
        std::vector<std::string>* list = nullptr;
        if (g_ascii_strcasecmp(name, EVC_EMAIL) == 0)
            list = &contact.emailAddresses;
        else if (g_ascii_strcasecmp(name, EVC_TEL) == 0)
            list = &contact.phoneNumbers;
        else
            continue;
        gchar* value = e_vcard_attribute_get_value(attribute);
        list->push_back(text(value));
        g_free(value);
    }
    return contact;
}

// Contact lists: EDS marks its own with X-EVOLUTION-LIST; cards synced from elsewhere may say
// KIND:group (vCard 4) or X-ADDRESSBOOKSERVER-KIND:group, as the vCard folder store also reads.
bool isGroup(EContact* card) {
    if (GPOINTER_TO_INT(e_contact_get(card, E_CONTACT_IS_LIST))) return true;
    for (const char* kind : {"KIND", "X-ADDRESSBOOKSERVER-KIND"}) {
        EVCardAttribute* attribute = e_vcard_get_attribute(E_VCARD(card), kind);
        if (attribute == nullptr) continue;
        gchar* value = e_vcard_attribute_get_value(attribute);
        const bool group = value != nullptr && g_ascii_strcasecmp(g_strstrip(value), "group") == 0;
        g_free(value);
        if (group) return true;
    }
    return false;
}

std::string allContactsQuery() {
    EBookQuery* query = e_book_query_any_field_contains("");
    gchar* sexp = e_book_query_to_string(query);
    std::string result(sexp);
    g_free(sexp);
    e_book_query_unref(query);
    return result;
}

std::string duration(std::chrono::milliseconds time) {
    return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s" : std::to_string(time.count()) + " ms";
}

std::string failureText(ESource* source, const Deadline& deadline, std::chrono::milliseconds timeout,
                        const GError* error) {
    std::string name = text(e_source_get_display_name(source));
    if (deadline.expired()) return "“" + name + "” did not answer within " + duration(timeout);
    std::string message = error != nullptr ? text(error->message) : std::string("unknown error");
    // Connection errors already start with the book's name.
    if (message.find(name) == std::string::npos) message = "“" + name + "”: " + message;
    return message;
}

// One book's people (contact lists left out), ordered by contact UID; false with a message when the
// book does not answer within the time allowed.
bool readBook(ESource* source, std::chrono::milliseconds timeout, const std::string& query, std::vector<Contact>& out,
              std::string& failure) {
    Deadline deadline(timeout);
    GError* rawError = nullptr;
    // (guint32)-1: open the book without waiting for a remote store to connect (0 would wait forever).
    ObjectPtr<EClient> client(
        e_book_client_connect_sync(source, static_cast<guint32>(-1), deadline.cancellable(), &rawError));
    ErrorPtr error(rawError);
    if (!client) {
        failure = failureText(source, deadline, timeout, error.get());
        return false;
    }
    GSList* cards = nullptr;
    rawError = nullptr;
    const gboolean ok = e_book_client_get_contacts_sync(E_BOOK_CLIENT(client.get()), query.c_str(), &cards,
                                                        deadline.cancellable(), &rawError);
    error.reset(rawError);
    if (!ok) {
        g_slist_free_full(cards, g_object_unref);
        failure = failureText(source, deadline, timeout, error.get());
        return false;
    }
    // The order EDS returns is undocumented (reverse insertion in practice): sort by UID.
    std::vector<std::pair<std::string, Contact>> people;
    for (GSList* item = cards; item != nullptr; item = item->next) {
        auto* card = static_cast<EContact*>(item->data);
        if (isGroup(card)) continue;
        people.emplace_back(fieldText(card, E_CONTACT_UID), contactFrom(card));
    }
    g_slist_free_full(cards, g_object_unref);
    std::stable_sort(people.begin(), people.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& person : people)
        out.push_back(std::move(person.second));
    return true;
}

// Opening the registry waits for D-Bus's own 25 s reply timeout whatever the cancellable says, so a
// probe (which also starts the service) tells first, within the bound, whether it answers. The probe
// asks for the sources themselves: that answer comes from the registry's main loop, which is what
// opening it needs, whereas a Ping is answered by GDBus's own thread even while the main loop is
// stuck. Returns why the registry cannot be used, or nothing when it answered.
std::optional<std::string> probeRegistry(GDBusConnection* bus, const std::string& service,
                                         std::chrono::milliseconds timeout) {
    GError* rawError = nullptr;
    const int timeoutMs = static_cast<int>(std::min<std::int64_t>(timeout.count(), G_MAXINT));
    GVariant* reply = g_dbus_connection_call_sync(bus, service.c_str(), "/org/gnome/evolution/dataserver/SourceManager",
                                                  "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &rawError);
    const ErrorPtr error(rawError);
    if (reply != nullptr) {
        g_variant_unref(reply);
        return std::nullopt;
    }
    if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        return "the list of address books did not answer within " + duration(timeout);
    return "the list of address books did not open: " + text(error ? error->message : "unknown error");
}

using SourceList = std::unique_ptr<GList, void (*)(GList*)>;

// The sources of a list in the order of their UIDs.
std::vector<ESource*> byUid(GList* sources) {
    std::vector<ESource*> books;
    for (GList* item = sources; item != nullptr; item = item->next)
        books.push_back(static_cast<ESource*>(item->data));
    std::stable_sort(books.begin(), books.end(), [](ESource* a, ESource* b) {
        return std::string_view(e_source_get_uid(a)) < std::string_view(e_source_get_uid(b));
    });
    return books;
}

} // namespace

EdsContactStore::EdsContactStore(std::chrono::milliseconds bookTimeout) : bookTimeout_(bookTimeout) {}

bool EdsContactStore::requestAccess() {
    return true;
}

/// Reads every enabled address book, in the order of the source UIDs. A book that fails or does
/// not answer in time is skipped and its message kept (as is a registry that does not open); the
/// caller decides whether that is an error. No session bus, or no EDS on it, costs a few
/// milliseconds and yields nothing.
EdsContactStore::Reading EdsContactStore::read() {
    const PrivateMainContext context;
    Reading reading;
    GError* rawError = nullptr;
    ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    ErrorPtr error(rawError);
    if (!bus) return reading;
    // GLib's shared connection ends the process when the bus goes away; a tray program outlives that.
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    const std::string registryService = registryName(bus.get());
    if (registryService.empty()) return reading;

    if (auto failure = probeRegistry(bus.get(), registryService, bookTimeout_)) {
        reading.failures.push_back(std::move(*failure));
        return reading;
    }

    rawError = nullptr;
    ObjectPtr<ESourceRegistry> registry(e_source_registry_new_sync(nullptr, &rawError));
    error.reset(rawError);
    if (!registry) {
        reading.failures.push_back("the list of address books did not open: " +
                                   text(error ? error->message : "unknown error"));
        return reading;
    }

    const SourceList sources(e_source_registry_list_enabled(registry.get(), E_SOURCE_EXTENSION_ADDRESS_BOOK),
                             [](GList* list) { g_list_free_full(list, g_object_unref); });
    const std::vector<ESource*> books = byUid(sources.get());
    const std::string query = allContactsQuery();
    reading.booksListed = books.size();
    for (ESource* book : books) {
        std::string failure;
        if (readBook(book, bookTimeout_, query, reading.contacts, failure))
            ++reading.booksRead;
        else
            reading.failures.push_back(std::move(failure));
    }
    return reading;
}

/// Every contact of every enabled address book. Books that fail are skipped while at least one
/// could be read; when none could, the error names each of them. No EDS at all is no error.
std::vector<Contact> EdsContactStore::contacts() {
    Reading reading = read();
    if (reading.booksRead == 0 && !reading.failures.empty()) {
        std::string message = "GNOME's address book (Evolution Data Server) could not be read:";
        for (std::size_t i = 0; i < reading.failures.size(); ++i)
            message += (i == 0 ? " " : "; ") + reading.failures[i];
        throw std::runtime_error(message);
    }
    return std::move(reading.contacts);
}

extern "C" void peltwick_read_eds(long long bookTimeoutMs, EdsContactStore::Reading* reading) {
    *reading = EdsContactStore(std::chrono::milliseconds(bookTimeoutMs)).read();
}
