// Any bytes as a .vcf file: no crash, hang or leak, valid UTF-8, no empty contact, budgets that hold.
#include "core/Text.h"
#include "platform/VCardParser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<Contact> contacts = VCardParser::parse(bytes);
    for (const Contact& c : contacts)
        for (const auto& texts :
             {std::vector{c.givenName, c.familyName, c.organizationName, c.jobTitle}, c.emailAddresses, c.phoneNumbers})
            for (const std::string& text : texts)
                if (c == Contact{} || !Text::isValidUTF8(text)) std::abort();
    std::vector<Contact> bounded; // a budget of a few contacts' worth
    std::size_t budget = 4 * size;
    if (VCardParser::parse(bytes, bounded, budget) && bounded != contacts) std::abort();
    return 0;
}
