#include "core/HrefCollector.h"

#include "core/Text.h"

// Debian builds expat with DTD support; the declarations of its entity limits need this.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

// Expat reports a namespaced name as "URI<separator>local"; the separator cannot occur in a
// name, so the local name is whatever follows the last one.
constexpr char namespaceSeparator = '\x01';

const char* localName(const char* name) {
    const char* local = std::strrchr(name, namespaceSeparator);
    return local ? local + 1 : name;
}

// The local name lower-cased equals "href". No character outside ASCII lower-cases to one of
// these four letters, so an ASCII comparison without case is the whole test.
bool isHref(const char* name) {
    const char* local = localName(name);
    static constexpr char href[] = "href";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = local[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != href[i]) return false;
    }
    return local[4] == '\0';
}

} // namespace

struct HrefCollector::Parser {
    XML_Parser xml;

    // No exception may cross expat: one (out of memory) stops the parse and is thrown from feed().
    template <typename Step> static void guarded(void* self, Step step) {
        auto* collector = static_cast<HrefCollector*>(self);
        try {
            step(*collector);
        } catch (...) {
            collector->failure_ = std::current_exception();
            XML_StopParser(collector->parser_->xml, XML_FALSE);
        }
    }
    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char**) {
        guarded(self, [name](HrefCollector& c) { c.startElement(name); });
    }
    static void XMLCALL onEnd(void* self, const XML_Char* name) {
        guarded(self, [name](HrefCollector& c) { c.endElement(name); });
    }
    static void XMLCALL onCharacters(void* self, const XML_Char* text, int length) {
        guarded(self, [text, length](HrefCollector& c) { c.characters(text, length); });
    }
    static void XMLCALL onCdataStart(void* self) { static_cast<HrefCollector*>(self)->inCdata_ = true; }
    static void XMLCALL onCdataEnd(void* self) { static_cast<HrefCollector*>(self)->inCdata_ = false; }
};

/// Sets up an expat parser with namespace processing. External entities are never loaded (no
/// handler is installed and parameter entities stay off), and expat's amplification limits
/// bound what internal entities may expand to.
HrefCollector::HrefCollector(std::size_t maxBytes) : maxBytes_(maxBytes) {
    XML_Parser xml = XML_ParserCreateNS(nullptr, namespaceSeparator);
    if (!xml) throw std::bad_alloc();
    parser_ = new Parser{xml};
    XML_SetUserData(xml, this);
    XML_SetElementHandler(xml, &Parser::onStart, &Parser::onEnd);
    XML_SetCharacterDataHandler(xml, &Parser::onCharacters);
    XML_SetCdataSectionHandler(xml, &Parser::onCdataStart, &Parser::onCdataEnd);
    XML_SetParamEntityParsing(xml, XML_PARAM_ENTITY_PARSING_NEVER);
    // A listing has no use for entities: start checking the amplification after 1 MiB of
    // output instead of 8 MiB, which bounds what a hostile body can make the parser produce.
    XML_SetBillionLaughsAttackProtectionActivationThreshold(xml, 1024 * 1024);
}

HrefCollector::~HrefCollector() {
    stop();
}

void HrefCollector::stop() noexcept {
    if (!parser_) return;
    XML_ParserFree(parser_->xml);
    delete parser_;
    parser_ = nullptr;
}

void HrefCollector::feed(std::string_view chunk) {
    while (parser_ && !chunk.empty()) {
        const std::size_t piece = std::min<std::size_t>(chunk.size(), INT_MAX / 2);
        if (XML_Parse(parser_->xml, chunk.data(), static_cast<int>(piece), XML_FALSE) != XML_STATUS_OK) {
            // A fault ends the collection; what was read before it stays.
            stop();
            if (failure_) std::rethrow_exception(failure_);
        }
        chunk.remove_prefix(piece);
    }
}

void HrefCollector::finish() {
    if (!parser_) return;
    XML_Parse(parser_->xml, nullptr, 0, XML_TRUE);
    stop();
    if (failure_) std::rethrow_exception(failure_);
}

std::vector<std::string> HrefCollector::collect(std::string_view body) {
    HrefCollector collector;
    collector.feed(body);
    collector.finish();
    return std::move(collector.hrefs_);
}

bool HrefCollector::charge(std::size_t bytes) {
    if (bytes > maxBytes_ - chargedBytes_) {
        overflowed_ = true;
        XML_StopParser(parser_->xml, XML_FALSE);
        return false;
    }
    chargedBytes_ += bytes;
    return true;
}

void HrefCollector::startElement(const char* name) {
    if (isHref(name)) {
        inHref_ = true;
        current_.clear();
    }
}

void HrefCollector::endElement(const char* name) {
    if (isHref(name)) {
        inHref_ = false;
        if (!charge(sizeof(std::string))) return; // the entry itself; its text was charged as it came
        hrefs_.push_back(Text::trimWhitespaceAndNewlines(current_));
        current_.clear();
    }
}

void HrefCollector::characters(const char* text, int length) {
    // Only ordinary character data counts; the content of CDATA sections is not an href.
    if (inHref_ && !inCdata_ && charge(static_cast<std::size_t>(length)))
        current_.append(text, static_cast<std::size_t>(length));
}
