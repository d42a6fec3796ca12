#pragma once

#include "ContactsImporter.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <string>

// Compares all six properties, so a failure shows which one differs.
inline void expectContact(const Contact& actual, const Contact& expected) {
    EXPECT_EQ(actual.givenName, expected.givenName);
    EXPECT_EQ(actual.familyName, expected.familyName);
    EXPECT_EQ(actual.organizationName, expected.organizationName);
    EXPECT_EQ(actual.jobTitle, expected.jobTitle);
    EXPECT_EQ(actual.emailAddresses, expected.emailAddresses);
    EXPECT_EQ(actual.phoneNumbers, expected.phoneNumbers);
}

inline bool isValidContact(const Contact& contact) {
    bool valid = Text::isValidUTF8(contact.givenName) && Text::isValidUTF8(contact.familyName) &&
                 Text::isValidUTF8(contact.organizationName) && Text::isValidUTF8(contact.jobTitle);
    for (const std::string& text : contact.emailAddresses)
        valid = valid && Text::isValidUTF8(text);
    for (const std::string& text : contact.phoneNumbers)
        valid = valid && Text::isValidUTF8(text);
    return valid;
}
