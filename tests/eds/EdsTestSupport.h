#pragma once

// Puts cards into the private EDS that tests/scripts/with-eds.sh starts, through libebook itself.

#include <libebook/libebook.h>

#include <stdexcept>
#include <string>

inline void check(GError* error) {
    if (error == nullptr) return;
    const std::string message = error->message;
    g_error_free(error);
    throw std::runtime_error("EDS: " + message);
}

// A person card with this UID and these lines (each ending in "\r\n").
inline std::string card(const std::string& uid, const std::string& lines) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\n" + lines + "END:VCARD\r\n";
}

// An address book of the private EDS: the built-in "Personal" book, or the one with this source UID.
class PersonalBook {
public:
    explicit PersonalBook(const char* sourceUid = nullptr) {
        GError* error = nullptr;
        registry_ = e_source_registry_new_sync(nullptr, &error);
        check(error);
        ESource* source = sourceUid ? e_source_registry_ref_source(registry_, sourceUid)
                                    : e_source_registry_ref_builtin_address_book(registry_);
        client_ = E_BOOK_CLIENT(e_book_client_connect_sync(source, static_cast<guint32>(-1), nullptr, &error));
        g_object_unref(source);
        check(error);
    }
    ~PersonalBook() {
        g_object_unref(client_);
        g_object_unref(registry_);
    }
    PersonalBook(const PersonalBook&) = delete;
    PersonalBook& operator=(const PersonalBook&) = delete;

    // Adds an address book to the registry; backend "local" keeps it in a file, like "Personal".
    void createBook(const char* uid, const char* displayName, const char* backend) {
        GError* error = nullptr;
        ESource* source = e_source_new_with_uid(uid, nullptr, &error);
        check(error);
        e_source_set_parent(source, "local-stub");
        e_source_set_display_name(source, displayName);
        e_source_backend_set_backend_name(
            E_SOURCE_BACKEND(e_source_get_extension(source, E_SOURCE_EXTENSION_ADDRESS_BOOK)), backend);
        e_source_registry_commit_source_sync(registry_, source, nullptr, &error);
        g_object_unref(source);
        check(error);
    }
    void removeBook(const char* uid) { // only the registry's own instance of a source can be removed
        GError* error = nullptr;
        ESource* source = e_source_registry_ref_source(registry_, uid);
        e_source_remove_sync(source, nullptr, &error);
        g_object_unref(source);
        check(error);
    }
    void setEnabled(bool enabled) {
        GError* error = nullptr;
        ESource* source = e_source_registry_ref_builtin_address_book(registry_);
        e_source_set_enabled(source, enabled);
        e_source_write_sync(source, nullptr, &error);
        g_object_unref(source);
        check(error);
    }
    void add(const std::string& uid, const std::string& lines) {
        EContact* contact = e_contact_new_from_vcard(card(uid, lines).c_str());
        GError* error = nullptr;
        e_book_client_add_contact_sync(client_, contact, E_BOOK_OPERATION_FLAG_NONE, nullptr, nullptr, &error);
        g_object_unref(contact);
        check(error);
    }
    void clear() {
        GSList* uids = nullptr;
        GError* error = nullptr;
        e_book_client_get_contacts_uids_sync(client_, "(contains \"x-evolution-any-field\" \"\")", &uids, nullptr,
                                             &error);
        check(error);
        if (uids != nullptr)
            e_book_client_remove_contacts_sync(client_, uids, E_BOOK_OPERATION_FLAG_NONE, nullptr, &error);
        g_slist_free_full(uids, g_free);
        check(error);
    }

private:
    ESourceRegistry* registry_ = nullptr;
    EBookClient* client_ = nullptr;
};
