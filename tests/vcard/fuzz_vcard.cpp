// Any bytes as a .vcf file: the reader must not crash, hang or leak, and every text it returns
// must be valid UTF-8.
#include "core/Text.h"
#include "platform/VCardParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const Contact& c : VCardParser::parse(std::string_view(reinterpret_cast<const char*>(data), size))) {
        std::vector<std::string> texts{c.givenName, c.familyName, c.organizationName, c.jobTitle};
        texts.insert(texts.end(), c.emailAddresses.begin(), c.emailAddresses.end());
        texts.insert(texts.end(), c.phoneNumbers.begin(), c.phoneNumbers.end());
        for (const std::string& text : texts)
            if (!Text::isValidUTF8(text)) std::abort();
    }
    return 0;
}
