// Any bytes as a .vcf file: the reader must not crash, hang or leak, and every text it returns
// must be valid UTF-8.
#include "Text.h"
#include "VCardParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const Contact& contact : VCardParser::parse(bytes)) {
        bool valid = Text::isValidUTF8(contact.givenName) && Text::isValidUTF8(contact.familyName) &&
                     Text::isValidUTF8(contact.organizationName) && Text::isValidUTF8(contact.jobTitle);
        for (const std::string& text : contact.emailAddresses)
            valid = valid && Text::isValidUTF8(text);
        for (const std::string& text : contact.phoneNumbers)
            valid = valid && Text::isValidUTF8(text);
        if (!valid) std::abort();
    }
    return 0;
}
