#pragma once

#include "core/ContactsImporter.h"

#include <string_view>
#include <vector>

// Turns the bytes of a .vcf file into contacts: one per card, in file order, contact groups left out.
namespace VCardParser {

// Never fails: broken lines are skipped, a cut-off card yields what it has, and every text
// in the result is valid UTF-8.
std::vector<Contact> parse(std::string_view bytes);

} // namespace VCardParser
