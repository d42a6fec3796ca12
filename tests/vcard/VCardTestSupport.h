#pragma once

#include "core/ContactsImporter.h"
#include "core/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

using Strings = std::vector<std::string>;

inline Contact card(std::string given, std::string family = {}, std::string organization = {}, std::string title = {},
                    Strings emails = {}, Strings phones = {}) {
    return Contact{std::move(given), std::move(family), std::move(organization),
                   std::move(title), std::move(emails), std::move(phones)};
}

inline std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// Compares all six properties at once; the failure prints both sides in full.
inline void expectContact(const Contact& actual, const Contact& expected) {
    const auto fields = [](const Contact& c) {
        return std::tie(c.givenName, c.familyName, c.organizationName, c.jobTitle, c.emailAddresses, c.phoneNumbers);
    };
    EXPECT_EQ(fields(actual), fields(expected));
}

inline bool isValidContact(const Contact& c) {
    std::vector<std::string> texts{c.givenName, c.familyName, c.organizationName, c.jobTitle};
    texts.insert(texts.end(), c.emailAddresses.begin(), c.emailAddresses.end());
    texts.insert(texts.end(), c.phoneNumbers.begin(), c.phoneNumbers.end());
    return std::all_of(texts.begin(), texts.end(), [](const std::string& text) { return Text::isValidUTF8(text); });
}
