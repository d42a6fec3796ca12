// GLib's headers come first: Qt's `signals` macro, should Qt ever be included here, breaks them.
#include <libsecret/secret.h>

#include "platform/SecretServiceStore.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// Access rule of the item: it should be readable only while the keyring is unlocked and never be
// carried to another device. The Secret Service has no per-item equivalent of that; the only
// guard is the default collection's own lock, which this store respects (it reads nothing from
// a locked collection and never unlocks it without the desktop's prompt). Nothing is set on the
// item for it.

namespace {

constexpr const char* busName = "org.freedesktop.secrets";
constexpr const char* contentType = "text/plain";
constexpr int busDaemonTimeoutMs = 2000; // the bus daemon itself answers at once

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct HashUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;
using HashPtr = std::unique_ptr<GHashTable, HashUnref>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// An output slot for a GError that frees it afterwards.
class ErrorSlot {
public:
    GError** operator&() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }
    const GError* get() const { return error_; }
    ~ErrorSlot() {
        if (error_) g_error_free(error_);
    }

private:
    GError* error_ = nullptr;
};

// Matches on `service` and `account` only, whatever schema name another program stored.
const SecretSchema credentialSchema = {
    "app.peltwick.importer.Credential",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> readUnlockAsked{false};
std::atomic<int> unlockRequestCount{0};

enum class Purpose { read, write };

HashPtr itemAttributes() {
    return HashPtr(secret_attributes_build(&credentialSchema, "service", SecretServiceStore::serviceIdentifier,
                                           "account", SecretServiceStore::account, nullptr));
}

// Whether a session bus is configured at all. GLib would otherwise try to autolaunch one (and
// start a stray bus daemon where an X display exists); without a bus the store simply fails.
bool sessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    struct stat info {};
    const std::string socket = std::string(runtime) + "/bus";
    return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Asks the bus daemon, which answers at once, whether a Secret Service runs or can be started.
// Without this, a call to a service nobody provides would wait for the bus's reply time-out.
bool serviceOnBus(GDBusConnection* bus) {
    ErrorSlot error;
    VariantPtr owned(g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", busName),
                                                 G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, busDaemonTimeoutMs,
                                                 nullptr, &error));
    if (!owned) return false;
    gboolean hasOwner = FALSE;
    g_variant_get(owned.get(), "(b)", &hasOwner);
    if (hasOwner) return true;
    VariantPtr names(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListActivatableNames", nullptr,
        G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, busDaemonTimeoutMs, nullptr, &error));
    if (!names) return false;
    GVariantIter* iter = nullptr;
    g_variant_get(names.get(), "(as)", &iter);
    bool found = false;
    const gchar* name = nullptr;
    while (!found && g_variant_iter_loop(iter, "&s", &name))
        found = std::string_view(name) == busName;
    g_variant_iter_free(iter);
    return found;
}

// A call to the keyring service that waits at most callTimeoutMs for the answer.
VariantPtr callService(GDBusConnection* bus, const std::string& path, const char* interface, const char* method,
                       GVariant* parameters, const GVariantType* replyType, ErrorSlot& error) {
    return VariantPtr(g_dbus_connection_call_sync(bus, busName, path.c_str(), interface, method, parameters, replyType,
                                                  G_DBUS_CALL_FLAGS_NONE, SecretServiceStore::callTimeoutMs, nullptr,
                                                  &error));
}

// A service that cannot start reads as no keyring; a call that failed or timed out as a failure.
int failureOf(const ErrorSlot& error) {
    const GError* e = error.get();
    if (e && e->domain == G_DBUS_ERROR &&
        (e->code == G_DBUS_ERROR_SERVICE_UNKNOWN || e->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
         e->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED || e->code == G_DBUS_ERROR_SPAWN_CHILD_EXITED ||
         e->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND))
        return SecretServiceStore::errSecNotAvailable;
    return SecretServiceStore::errSecIO;
}

// The object path of the default collection, asked of the service itself: the first call of every
// operation, and bounded, so a hung keyring daemon stops the operation here. "/" means none.
int defaultCollection(GDBusConnection* bus, std::string& path) {
    ErrorSlot error;
    const VariantPtr reply = callService(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                                         g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), error);
    if (!reply) return failureOf(error);
    const gchar* found = nullptr;
    g_variant_get(reply.get(), "(&o)", &found);
    path = found;
    return path == "/" ? SecretServiceStore::errSecNotAvailable : SecretServiceStore::errSecSuccess;
}

// The collection's Locked property, read straight from the service (no prompt, no cached value).
std::optional<bool> collectionLocked(GDBusConnection* bus, const std::string& collection) {
    ErrorSlot error;
    const VariantPtr reply =
        callService(bus, collection, "org.freedesktop.DBus.Properties", "Get",
                    g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"), error);
    if (!reply) return std::nullopt;
    VariantPtr value;
    {
        GVariant* inner = nullptr;
        g_variant_get(reply.get(), "(v)", &inner);
        value.reset(inner);
    }
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return std::nullopt;
    return g_variant_get_boolean(value.get()) != FALSE;
}

// libsecret's calls through this proxy wait at most callTimeoutMs, not GLib's default 25 s. (A
// proxy still loads its properties with that default when it is made; the bounded calls above run
// first, so a daemon that hangs is caught before.)
void boundCalls(gpointer proxy) {
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(proxy), SecretServiceStore::callTimeoutMs);
}

// The credential items found in the default collection.
struct Items {
    std::vector<GObjectPtr<SecretItem>> unlocked;
    std::vector<GObjectPtr<SecretItem>> locked;
    bool empty() const { return unlocked.empty() && locked.empty(); }
};

// One connection to the Secret Service with the default collection ready to use (unlocked).
class Connection {
public:
    // Opens the service and makes sure the default collection is unlocked. A locked collection
    // is unlocked through the desktop's own prompt: for reads at most once in this process, so a
    // user who declines is not asked again at every menu rebuild, and at every write, since the
    // user could never connect otherwise. The call blocks while the prompt is shown.
    int open(Purpose purpose) {
        if (!sessionBusConfigured()) return SecretServiceStore::errSecNotAvailable;
        ErrorSlot busError;
        bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &busError));
        if (!bus_) return SecretServiceStore::errSecNotAvailable;
        // A bus that goes away must not end the program (GLib's default for its shared connection).
        g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);
        if (!serviceOnBus(bus_.get())) return SecretServiceStore::errSecNotAvailable;
        // None was ever created when the alias is unset; creating one would prompt for a new password.
        std::string path;
        if (const int status = defaultCollection(bus_.get(), path); status != SecretServiceStore::errSecSuccess)
            return status;
        const auto locked = collectionLocked(bus_.get(), path);
        if (!locked) return SecretServiceStore::errSecIO;
        // A service of our own rather than libsecret's shared one: its cached state cannot go
        // stale when the keyring daemon restarts between two calls.
        ErrorSlot serviceError;
        service_.reset(
            secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, &serviceError));
        if (!service_) return SecretServiceStore::errSecIO;
        boundCalls(service_.get());
        ErrorSlot collectionError;
        collection_.reset(secret_collection_for_alias_sync(service_.get(), SECRET_COLLECTION_DEFAULT,
                                                           SECRET_COLLECTION_NONE, nullptr, &collectionError));
        if (!collection_) return SecretServiceStore::errSecIO;
        boundCalls(collection_.get());
        if (*locked && !unlock(purpose)) return SecretServiceStore::errSecInteractionNotAllowed;
        return SecretServiceStore::errSecSuccess;
    }

    // The credential items of the default collection, found without unlocking anything.
    int find(Items& items) {
        ErrorSlot error;
        const auto attributes = itemAttributes();
        GList* found = secret_collection_search_sync(collection_.get(), &credentialSchema, attributes.get(),
                                                     SECRET_SEARCH_ALL, nullptr, &error);
        if (error) return SecretServiceStore::errSecIO;
        for (GList* entry = found; entry; entry = entry->next) {
            auto* item = static_cast<SecretItem*>(entry->data);
            boundCalls(item);
            (secret_item_get_locked(item) ? items.locked : items.unlocked).emplace_back(item);
        }
        g_list_free(found); // the items now belong to `items`
        return SecretServiceStore::errSecSuccess;
    }

    SecretCollection* collection() const { return collection_.get(); }

private:
    std::string path() const { return g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection_.get())); }

    bool unlock(Purpose purpose) {
        if (purpose == Purpose::read && readUnlockAsked.exchange(true)) return false;
        ++unlockRequestCount;
        GList objects{collection_.get(), nullptr, nullptr};
        ErrorSlot error;
        // Declined, or no prompt possible (no display): the collection stays locked.
        secret_service_unlock_sync(service_.get(), &objects, nullptr, nullptr, &error);
        return collectionLocked(bus_.get(), path()) == false;
    }

    GObjectPtr<GDBusConnection> bus_;
    GObjectPtr<SecretService> service_;
    GObjectPtr<SecretCollection> collection_;
};

ValuePtr secretOf(const std::string& data) {
    return ValuePtr(secret_value_new(data.data(), static_cast<gssize>(data.size()), contentType));
}

} // namespace

/// Replaces the data of the credential item; errSecItemNotFound when the default collection has none.
int SecretServiceStore::update(const std::string& data) {
    Connection connection;
    if (const int status = connection.open(Purpose::write); status != errSecSuccess) return status;
    Items items;
    if (const int status = connection.find(items); status != errSecSuccess) return status;
    if (!items.locked.empty()) // an item that stays locked in an unlocked collection: leave it alone
        return errSecInteractionNotAllowed;
    if (items.unlocked.empty()) return errSecItemNotFound;
    const auto value = secretOf(data);
    int result = errSecSuccess;
    for (const auto& item : items.unlocked) {
        ErrorSlot error;
        if (!secret_item_set_secret_sync(item.get(), value.get(), nullptr, &error)) result = errSecIO;
    }
    return result;
}

/// Creates the credential item in the default collection (replacing one with the same attributes).
int SecretServiceStore::add(const std::string& data) {
    Connection connection;
    if (const int status = connection.open(Purpose::write); status != errSecSuccess) return status;
    const auto attributes = itemAttributes();
    const auto value = secretOf(data);
    ErrorSlot error;
    GObjectPtr<SecretItem> item(secret_item_create_sync(connection.collection(), &credentialSchema, attributes.get(),
                                                        label, value.get(), SECRET_ITEM_CREATE_REPLACE, nullptr,
                                                        &error));
    return item ? errSecSuccess : errSecIO;
}

/// Reads the credential item's data, exactly as stored.
int SecretServiceStore::copyMatching(std::string& data) {
    Connection connection;
    if (const int status = connection.open(Purpose::read); status != errSecSuccess) return status;
    Items items;
    if (const int status = connection.find(items); status != errSecSuccess) return status;
    if (items.unlocked.empty()) return items.locked.empty() ? errSecItemNotFound : errSecInteractionNotAllowed;
    SecretItem* item = items.unlocked.front().get();
    ErrorSlot error;
    if (!secret_item_load_secret_sync(item, nullptr, &error)) return errSecIO;
    ValuePtr value(secret_item_get_secret(item));
    if (!value) return errSecIO;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    data.assign(bytes ? bytes : "", bytes ? length : 0);
    return errSecSuccess;
}

/// Deletes every credential item of the default collection. Like a save, it asks to unlock a locked
/// collection: the user chose to disconnect, and a credential left behind would come back later.
int SecretServiceStore::remove() {
    Connection connection;
    if (const int status = connection.open(Purpose::write); status != errSecSuccess) return status;
    Items items;
    if (const int status = connection.find(items); status != errSecSuccess) return status;
    if (items.empty()) return errSecItemNotFound;
    int result = errSecSuccess;
    for (const auto* list : {&items.unlocked, &items.locked}) {
        for (const auto& item : *list) {
            ErrorSlot error;
            if (!secret_item_delete_sync(item.get(), nullptr, &error)) result = errSecIO;
        }
    }
    return result;
}

int SecretServiceStore::unlockRequests() {
    return unlockRequestCount.load();
}
