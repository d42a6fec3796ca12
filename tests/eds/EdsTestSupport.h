#pragma once

// Puts cards into the private EDS that tests/scripts/with-eds.sh starts, through libebook itself.

#include <libebook/libebook.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

// An address book of the private EDS, opened through libebook: the built-in "Personal" book, or
// the one with the given source UID.
class PersonalBook {
public:
    explicit PersonalBook(const char* sourceUid = nullptr) {
        GError* error = nullptr;
        registry_ = e_source_registry_new_sync(nullptr, &error);
        check(error);
        ESource* source = sourceUid ? e_source_registry_ref_source(registry_, sourceUid)
                                    : e_source_registry_ref_builtin_address_book(registry_);
        if (source == nullptr) throw std::runtime_error(std::string("EDS: no source ") + sourceUid);
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

    // Adds an address book to the registry (backend "local" keeps it in a file, like "Personal").
    static void createBook(ESourceRegistry* registry, const char* uid, const char* displayName, const char* backend) {
        GError* error = nullptr;
        ESource* source = e_source_new_with_uid(uid, nullptr, &error);
        check(error);
        e_source_set_parent(source, "local-stub");
        e_source_set_display_name(source, displayName);
        e_source_backend_set_backend_name(
            E_SOURCE_BACKEND(e_source_get_extension(source, E_SOURCE_EXTENSION_ADDRESS_BOOK)), backend);
        e_source_registry_commit_source_sync(registry, source, nullptr, &error);
        g_object_unref(source);
        check(error);
    }

    static void removeBook(ESourceRegistry* registry, const char* uid) {
        // Only the registry's own instance of a source can be removed.
        ESource* source = e_source_registry_ref_source(registry, uid);
        if (source == nullptr) return;
        GError* error = nullptr;
        e_source_remove_sync(source, nullptr, &error);
        g_object_unref(source);
        check(error);
    }

    static void setEnabled(ESource* source, bool enabled) {
        GError* error = nullptr;
        e_source_set_enabled(source, enabled);
        e_source_write_sync(source, nullptr, &error);
        check(error);
    }

    ESourceRegistry* registry() const { return registry_; }

    // Adds one card given as vCard text (with its UID) and returns the UID EDS stored.
    std::string add(const std::string& vcard) {
        EContact* contact = e_contact_new_from_vcard(vcard.c_str());
        gchar* uid = nullptr;
        GError* error = nullptr;
        e_book_client_add_contact_sync(client_, contact, E_BOOK_OPERATION_FLAG_NONE, &uid, nullptr, &error);
        g_object_unref(contact);
        check(error);
        std::string result = uid != nullptr ? uid : "";
        g_free(uid);
        return result;
    }

    void clear() {
        GSList* uids = nullptr;
        GError* error = nullptr;
        EBookQuery* query = e_book_query_any_field_contains("");
        gchar* sexp = e_book_query_to_string(query);
        e_book_query_unref(query);
        e_book_client_get_contacts_uids_sync(client_, sexp, &uids, nullptr, &error);
        g_free(sexp);
        check(error);
        if (uids != nullptr)
            e_book_client_remove_contacts_sync(client_, uids, E_BOOK_OPERATION_FLAG_NONE, nullptr, &error);
        g_slist_free_full(uids, g_free);
        check(error);
    }

    static void check(GError* error) {
        if (error == nullptr) return;
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("EDS: " + message);
    }

private:
    ESourceRegistry* registry_ = nullptr;
    EBookClient* client_ = nullptr;
};

// A person card with the given UID and extra lines (each ending in "\r\n").
inline std::string card(const std::string& uid, const std::string& lines) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\n" + lines + "END:VCARD\r\n";
}
