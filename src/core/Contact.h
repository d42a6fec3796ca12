#pragma once

#include <string>
#include <vector>

// The six properties of an address-book card that a person note is made from.
struct Contact {
    std::string givenName, familyName, organizationName, jobTitle;
    std::vector<std::string> emailAddresses; // values, in the store's order
    std::vector<std::string> phoneNumbers;   // each number's text, in the store's order

    bool operator==(const Contact&) const = default;
};

// The platform's address book.
class ContactStore {
public:
    virtual ~ContactStore() = default;
    virtual bool requestAccess() = 0;            // granted flag; throws the store's error
    virtual std::vector<Contact> contacts() = 0; // every contact, stable order; throws on failure
};
