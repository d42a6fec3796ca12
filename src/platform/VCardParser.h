#pragma once

#include "core/ContactsImporter.h"

#include <cstddef>
#include <string_view>
#include <vector>

// Turns the bytes of a .vcf file into contacts: one per card, in file order, contact groups and
// cards without any of the six properties left out.
namespace VCardParser {

// The longest content line of the six properties read; a longer one is skipped.
constexpr std::size_t maxLineBytes = std::size_t{1} << 20;

// Appends the file's contacts to `contacts`. `budget` is the memory, in bytes, that the appended
// contacts may take, and is lowered by what they take (each contact, e-mail address and phone
// number counted at three times its object, for the list's growth, plus its texts). Returns false
// as soon as the budget runs out (a file of many tiny cards); `contacts` is then incomplete.
// Otherwise never fails: broken lines are skipped, a cut-off card yields what it has, and every
// text in the result is valid UTF-8.
bool parse(std::string_view bytes, std::vector<Contact>& contacts, std::size_t& budget);

// The contacts of a file, without a memory budget.
std::vector<Contact> parse(std::string_view bytes);

} // namespace VCardParser
