#pragma once

// Puts cards into the private EDS that tests/scripts/with-eds.sh starts, through libebook itself.

#include <libebook/libebook.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

class PersonalBook {
public:
    PersonalBook() {
        GError* error = nullptr;
        registry_ = e_source_registry_new_sync(nullptr, &error);
        check(error);
        ESource* source = e_source_registry_ref_builtin_address_book(registry_);
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

private:
    static void check(GError* error) {
        if (error == nullptr) return;
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("EDS: " + message);
    }

    ESourceRegistry* registry_ = nullptr;
    EBookClient* client_ = nullptr;
};

// A person card with the given UID and extra lines (each ending in "\r\n").
inline std::string card(const std::string& uid, const std::string& lines) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\n" + lines + "END:VCARD\r\n";
}
