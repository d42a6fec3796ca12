// Any bytes as a .vcf file: the reader must not crash, hang or leak, every text it returns must be
// valid UTF-8, and no contact is empty. Under a memory budget it gives the same contacts or none.
#include "core/Text.h"
#include "platform/VCardParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<Contact> contacts = VCardParser::parse(bytes);
    for (const Contact& c : contacts) {
        if (c == Contact{}) std::abort();
        std::vector<std::string> texts{c.givenName, c.familyName, c.organizationName, c.jobTitle};
        texts.insert(texts.end(), c.emailAddresses.begin(), c.emailAddresses.end());
        texts.insert(texts.end(), c.phoneNumbers.begin(), c.phoneNumbers.end());
        for (const std::string& text : texts)
            if (!Text::isValidUTF8(text)) std::abort();
    }
    // A budget of a few contacts' worth: whatever fits must be exactly what an unbounded read gives.
    std::vector<Contact> bounded;
    std::size_t budget = 4 * size;
    if (VCardParser::parse(bytes, bounded, budget) && bounded != contacts) std::abort();
    return 0;
}
