#include "core/HrefCollector.h"

#include "core/DAVNames.h"
#include "core/Text.h"

// Debian builds expat with DTD support; the declarations of its entity limits need this.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace {

// Expat reports a namespaced name as "URI<separator>local"; the separator cannot occur in a
// name, so the local name is whatever follows the last one.
constexpr char namespaceSeparator = '\x01';

// The most bytes expat is given at once while it holds no long unfinished token.
constexpr std::size_t minimumPiece = std::size_t{64} << 10;
// How far the XML declaration is looked for before the body goes to expat as it is.
constexpr std::size_t maxDeclaration = 1024;
// What a kept name costs besides its text: the set's node, its string and the allocator's share.
constexpr std::size_t nameOverhead = 96;

const char* localName(const char* name) {
    const char* local = std::strrchr(name, namespaceSeparator);
    return local ? local + 1 : name;
}

// The local name lower-cased equals "href". No character outside ASCII lower-cases to one of
// these four letters, so an ASCII comparison without case is the whole test.
bool isHref(const char* name) {
    const char* local = localName(name);
    static constexpr char href[] = "href";
    for (std::size_t i = 0; i < 4; ++i)
        if (Text::asciiLower(local[i]) != href[i]) return false;
    return local[4] == '\0';
}

// ---- Memory: what the collection holds, expat's allocations included ----

struct Budget {
    std::size_t limit;
    std::size_t used = 0;
    std::size_t peak = 0;
    bool refused = false;

    bool take(std::size_t bytes) noexcept {
        if (bytes > limit - used) {
            refused = true;
            return false;
        }
        used += bytes;
        peak = std::max(peak, used);
        return true;
    }
    void give(std::size_t bytes) noexcept { used -= std::min(bytes, used); }
};

// Expat's memory functions take no context: the collector that calls into expat names its budget
// here for the length of the call, and every block remembers the budget it was charged to.
thread_local Budget* activeBudget = nullptr;

struct ActiveBudget {
    Budget* saved;
    explicit ActiveBudget(Budget& budget) : saved(std::exchange(activeBudget, &budget)) {}
    ~ActiveBudget() { activeBudget = saved; }
    ActiveBudget(const ActiveBudget&) = delete;
    ActiveBudget& operator=(const ActiveBudget&) = delete;
};

struct alignas(std::max_align_t) BlockHeader {
    std::size_t size;
    Budget* owner;
};
// A block costs its size, its header and the allocator's own bookkeeping.
constexpr std::size_t blockCost(std::size_t size) {
    return size + sizeof(BlockHeader) + 16;
}

void* XMLCALL budgetMalloc(std::size_t size) {
    Budget* owner = activeBudget;
    if (size > SIZE_MAX / 2 || (owner && !owner->take(blockCost(size)))) return nullptr;
    auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (!block) {
        if (owner) owner->give(blockCost(size));
        return nullptr;
    }
    block->size = size;
    block->owner = owner;
    return block + 1;
}

void XMLCALL budgetFree(void* pointer) {
    if (!pointer) return;
    auto* block = static_cast<BlockHeader*>(pointer) - 1;
    if (block->owner) block->owner->give(blockCost(block->size));
    std::free(block);
}

void* XMLCALL budgetRealloc(void* pointer, std::size_t size) {
    if (!pointer) return budgetMalloc(size);
    auto* block = static_cast<BlockHeader*>(pointer) - 1;
    Budget* owner = block->owner;
    const std::size_t old = block->size;
    if (size > SIZE_MAX / 2) return nullptr;
    // Charged at the larger size while the allocator may hold both.
    if (owner && size > old && !owner->take(size - old)) return nullptr;
    auto* grown = static_cast<BlockHeader*>(std::realloc(block, sizeof(BlockHeader) + size));
    if (!grown) {
        if (owner && size > old) owner->give(size - old);
        return nullptr;
    }
    if (owner && size < old) owner->give(old - size);
    grown->size = size;
    return grown + 1;
}

const XML_Memory_Handling_Suite budgetMemory{&budgetMalloc, &budgetRealloc, &budgetFree};

// ---- Encodings ----

// What the start of a body says about its encoding: nothing yet, expat's business (its own
// encodings, or none it knows), or an ICU converter's name.
struct Sniffed {
    bool decided = false;
    std::string converter; // empty: expat reads the body as it is
};

bool isXMLSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The encoding name of an XML declaration ("<?xml" up to "?>"), when it has a well-formed one.
std::optional<std::string> declaredEncoding(std::string_view declaration) {
    for (std::size_t at = declaration.find("encoding"); at != std::string_view::npos;
         at = declaration.find("encoding", at + 1)) {
        if (at == 0 || !isXMLSpace(declaration[at - 1])) continue;
        std::size_t i = at + 8;
        while (i < declaration.size() && isXMLSpace(declaration[i]))
            ++i;
        if (i == declaration.size() || declaration[i] != '=') return std::nullopt;
        ++i;
        while (i < declaration.size() && isXMLSpace(declaration[i]))
            ++i;
        if (i == declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) return std::nullopt;
        const char quote = declaration[i++];
        const std::size_t end = declaration.find(quote, i);
        if (end == std::string_view::npos || end == i) return std::nullopt;
        const std::string_view name = declaration.substr(i, end - i);
        // EncName: [A-Za-z] ([A-Za-z0-9._] | '-')*
        const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
        if (!letter(name[0])) return std::nullopt;
        for (const char c : name)
            if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return std::nullopt;
        return std::string(name);
    }
    return std::nullopt;
}

bool expatKnows(std::string_view encoding) {
    for (const std::string_view known : {"UTF-8", "UTF-16", "UTF-16BE", "UTF-16LE", "ISO-8859-1", "US-ASCII"})
        if (Text::equalsIgnoringASCIICase(encoding, known)) return true;
    return false;
}

Sniffed sniff(std::string_view head, bool final) {
    using namespace std::string_view_literals;
    const bool more = !final && head.size() < maxDeclaration;
    if (head.size() < 6 && more) return {};
    // UTF-32, which expat does not read, shows in its first four bytes (XML 1.0, appendix F).
    for (const auto& [start, name] : {std::pair{"\0\0\xFE\xFF"sv, "UTF-32"}, std::pair{"\xFF\xFE\0\0"sv, "UTF-32"},
                                      std::pair{"\0\0\0<"sv, "UTF-32BE"}, std::pair{"<\0\0\0"sv, "UTF-32LE"}})
        if (head.starts_with(start)) return {true, name};
    // Every other encoding with a declaration of its own writes it in ASCII.
    if (!head.starts_with("<?xml") || head.size() < 6 || !isXMLSpace(head[5])) return {true, {}};
    const auto end = head.find("?>");
    if (end == std::string_view::npos) return {!more, {}};
    const auto encoding = declaredEncoding(head.substr(0, end));
    if (!encoding || expatKnows(*encoding)) return {true, {}};
    return {true, *encoding};
}

} // namespace

struct HrefCollector::State {
    HrefCollector& owner;
    Limits limits;
    Budget budget;
    XML_Parser xml = nullptr;
    bool ended = false;   // the parse is over (finished, failed or past a bound)
    bool parsing = false; // inside XML_Parse
    Bound bound = Bound::none;
    std::exception_ptr failure; // thrown inside a parser callback

    // Before the route is known: the first bytes.
    bool decided = false;
    std::string head;

    // Transcoding to UTF-8 through ICU (by way of UTF-16), for the encodings expat does not read.
    UConverter* source = nullptr;
    UConverter* utf8 = nullptr;
    std::vector<UChar> pivot;
    std::vector<char> converted;

    // Feeding expat: the data not yet given, the size of the unfinished token expat holds, and
    // how many bytes it has been given.
    std::vector<char> pending;
    std::size_t chargedPending = 0;
    std::size_t tail = 0;
    std::size_t fed = 0;

    // The document as it is read.
    int depth = 0;
    std::size_t textRun = 0; // character data since the last tag
    std::size_t derived = 0; // attributes and namespace bindings not written in the body
    bool inHref = false;
    bool inCdata = false;
    std::string current; // the text of the href being read
    std::size_t chargedCurrent = 0;

    State(HrefCollector& collector, const Limits& limits) : owner(collector), limits(limits), budget{limits.maxBytes} {}
    ~State() { release(); }

    bool live() const noexcept { return !ended; }

    // Past a bound: inside a parse, expat is told to stop (and the parse ends once it returns);
    // outside one, the parse ends at once.
    void exceed(Bound which) noexcept {
        if (bound == Bound::none) bound = which;
        if (parsing)
            XML_StopParser(xml, XML_FALSE);
        else
            end();
    }

    // Ends the parse and lets go of everything but the names.
    void release() noexcept {
        if (xml) {
            ActiveBudget active(budget);
            XML_ParserFree(xml);
            xml = nullptr;
        }
        if (source) ucnv_close(source);
        if (utf8) ucnv_close(utf8);
        source = utf8 = nullptr;
        std::vector<UChar>().swap(pivot);
        std::vector<char>().swap(converted);
        std::vector<char>().swap(pending);
        std::string().swap(current);
        std::string().swap(head);
    }

    void end() noexcept {
        ended = true;
        release();
    }

    // Charges the growth of a buffer we hold; past the budget the collection stops.
    bool recharge(std::size_t& charged, std::size_t now) noexcept {
        if (now > charged) {
            if (!budget.take(now - charged)) {
                exceed(Bound::memory);
                return false;
            }
        } else {
            budget.give(charged - now);
        }
        charged = now;
        return true;
    }

    void start();
    bool openConverters(std::string& name);
    void route(std::string_view data);
    void convert(std::string_view data, bool flush);
    void give(std::string_view data);
    void flushPending();
    void parse(std::string_view piece, bool final);
    void afterParse(XML_Status status);

    // Callbacks. No exception may cross expat: one (out of memory) stops the parse and is thrown
    // from feed().
    template <typename Step> static void guarded(void* self, Step step) {
        auto* state = static_cast<State*>(self);
        try {
            step(*state);
        } catch (...) {
            state->failure = std::current_exception();
            XML_StopParser(state->xml, XML_FALSE);
        }
    }
    void startElement(const XML_Char* name, const XML_Char** attributes);
    void endElement(const XML_Char* name);
    void characters(const XML_Char* text, int length);
    void namespaceBinding();
    void addName();
    void checkDerived();
};

// The converters from the body's encoding to UTF-8, for one expat does not read. When no converter
// knows the encoding, `name` is cleared: expat reads the body and refuses the encoding itself.
// False when their buffers do not fit in the budget.
bool HrefCollector::State::openConverters(std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    source = ucnv_open(name.c_str(), &status);
    if (U_FAILURE(status)) {
        source = nullptr;
        name.clear();
        return true;
    }
    utf8 = ucnv_open("UTF-8", &status);
    // A byte that is no text in the encoding is a fault in the body, as it is for expat.
    ucnv_setToUCallBack(source, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(utf8, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status)) throw std::bad_alloc();
    pivot.resize(1024);
    converted.resize(minimumPiece);
    if (budget.take(pivot.size() * sizeof(UChar) + converted.size())) return true;
    exceed(Bound::memory);
    return false;
}

// The route is known: make the parser (and the converters when the body is not in one of
// expat's encodings). External entities are never loaded (no handler is installed and parameter
// entities stay off); entities may not expand the text to more than twice the body once 1 MiB
// has been read (a listing has no use for them); expat's allocations count against the budget.
void HrefCollector::State::start() {
    decided = true;
    std::string converterName = sniff(head, true).converter;
    if (!converterName.empty() && !openConverters(converterName)) return;
    ActiveBudget active(budget);
    xml = XML_ParserCreate_MM(converterName.empty() ? nullptr : "UTF-8", &budgetMemory, &namespaceSeparator);
    if (!xml) {
        if (budget.refused) {
            exceed(Bound::memory);
            return;
        }
        throw std::bad_alloc();
    }
    XML_SetUserData(xml, this);
    XML_SetElementHandler(
        xml,
        [](void* self, const XML_Char* name, const XML_Char** attributes) {
            guarded(self, [&](State& s) { s.startElement(name, attributes); });
        },
        [](void* self, const XML_Char* name) { guarded(self, [&](State& s) { s.endElement(name); }); });
    XML_SetCharacterDataHandler(xml, [](void* self, const XML_Char* text, int length) {
        guarded(self, [&](State& s) { s.characters(text, length); });
    });
    XML_SetCdataSectionHandler(
        xml, [](void* self) { static_cast<State*>(self)->inCdata = true; },
        [](void* self) { static_cast<State*>(self)->inCdata = false; });
    XML_SetStartNamespaceDeclHandler(xml, [](void* self, const XML_Char*, const XML_Char*) {
        guarded(self, [](State& s) { s.namespaceBinding(); });
    });
    XML_SetParamEntityParsing(xml, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(xml, 1024 * 1024);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(xml, 2.0f);
}

void HrefCollector::State::route(std::string_view data) {
    if (source)
        convert(data, false);
    else
        give(data);
}

// Converts to UTF-8 through UTF-16, handing the output to expat block by block. What was converted
// before a fault still counts.
void HrefCollector::State::convert(std::string_view data, bool flush) {
    static constexpr char nothing = 0; // ICU wants a source pointer even for no bytes
    const char* in = data.empty() ? &nothing : data.data();
    const char* const inEnd = in + data.size();
    for (;;) {
        UErrorCode read = U_ZERO_ERROR;
        UChar* units = pivot.data();
        ucnv_toUnicode(source, &units, pivot.data() + pivot.size(), &in, inEnd, nullptr, flush, &read);
        const bool last = flush && U_SUCCESS(read);
        for (const UChar* next = pivot.data();;) {
            UErrorCode written = U_ZERO_ERROR;
            char* out = converted.data();
            ucnv_fromUnicode(utf8, &out, converted.data() + converted.size(), &next, units, nullptr, last, &written);
            give(std::string_view(converted.data(), static_cast<std::size_t>(out - converted.data())));
            if (!live()) return;
            if (written == U_BUFFER_OVERFLOW_ERROR) continue;
            if (U_FAILURE(written)) { // a lone surrogate
                flushPending();
                return end();
            }
            break;
        }
        if (read == U_BUFFER_OVERFLOW_ERROR) continue;
        if (read == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
        // Bytes that are no text in the declared encoding: a fault like any other, after the text
        // before them.
        if (U_FAILURE(read)) {
            flushPending();
            end();
        }
        return;
    }
}

// Hands data to expat in pieces of exactly step bytes, whatever pieces it arrives in, so that what
// the parser does depends on the body alone. A step is at least as large as the unfinished token
// expat holds (minimumPiece when it holds none), so expat's rescans of that token add up to a
// constant factor; and never so large that an unfinished token could grow past the token bound
// unseen: the bound stops the tokens of which more bytes than it are held unfinished.
void HrefCollector::State::give(std::string_view data) {
    while (live() && !data.empty()) {
        const std::size_t room = limits.maxTokenBytes + 1 - tail; // tail never passes the bound while live
        const std::size_t step = std::min(std::max(tail, minimumPiece), room);
        if (pending.capacity() < step) {
            if (!recharge(chargedPending, step)) return;
            std::vector<char> grown;
            grown.reserve(step);
            grown.assign(pending.begin(), pending.end());
            pending.swap(grown);
        }
        const std::size_t take = std::min(data.size(), step - pending.size());
        pending.insert(pending.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
        data.remove_prefix(take);
        if (pending.size() == step) flushPending();
    }
}

// Gives expat what is waiting (at the end of a step, or before a fault in the conversion).
void HrefCollector::State::flushPending() {
    if (!live() || pending.empty()) return;
    parse(std::string_view(pending.data(), pending.size()), false);
    pending.clear();
    // A buffer grown for a long token goes once the token is read.
    if (pending.capacity() > minimumPiece && tail < minimumPiece) {
        std::vector<char>().swap(pending);
        recharge(chargedPending, 0);
    }
}

void HrefCollector::State::parse(std::string_view piece, bool final) {
    XML_Status status;
    {
        ActiveBudget active(budget);
        parsing = true;
        status = XML_Parse(xml, piece.data(), static_cast<int>(piece.size()), final ? XML_TRUE : XML_FALSE);
        parsing = false;
    }
    fed += piece.size();
    afterParse(status);
}

void HrefCollector::State::afterParse(XML_Status status) {
    if (status != XML_STATUS_OK) {
        if (failure) {
            end();
            std::rethrow_exception(std::exchange(failure, nullptr));
        }
        if (bound == Bound::none && budget.refused) bound = Bound::memory;
        if (bound == Bound::none && XML_GetErrorCode(xml) == XML_ERROR_NO_MEMORY) {
            end();
            throw std::bad_alloc();
        }
        end(); // a fault, or a bound: either way the parse is over
        return;
    }
    // Expat's position after a parse is the start of the token it could not finish yet.
    const XML_Index at = XML_GetCurrentByteIndex(xml);
    tail = at < 0 ? 0 : fed - static_cast<std::size_t>(at);
    if (tail > limits.maxTokenBytes) exceed(Bound::token);
}

void HrefCollector::State::checkDerived() {
    const XML_Index at = XML_GetCurrentByteIndex(xml);
    if (derived > static_cast<std::size_t>(std::max<XML_Index>(at, 0)) / 4 + limits.derivedAllowance)
        exceed(Bound::derived);
}

void HrefCollector::State::startElement(const XML_Char* name, const XML_Char** attributes) {
    if (++depth > limits.maxDepth) return exceed(Bound::depth);
    textRun = 0;
    std::size_t given = 0;
    while (attributes[given])
        given += 2;
    if (const auto specified = static_cast<std::size_t>(XML_GetSpecifiedAttributeCount(xml)); given > specified) {
        derived += (given - specified) / 2;
        checkDerived();
    }
    if (isHref(name)) {
        inHref = true;
        current.clear();
    }
}

void HrefCollector::State::endElement(const XML_Char* name) {
    --depth;
    textRun = 0;
    if (isHref(name) && inHref) {
        inHref = false;
        addName();
    }
}

void HrefCollector::State::characters(const XML_Char* text, int length) {
    textRun += static_cast<std::size_t>(length);
    if (textRun > limits.maxTokenBytes) return exceed(Bound::token);
    // Only ordinary character data counts; the content of CDATA sections is not an href.
    if (inHref && !inCdata) {
        current.append(text, static_cast<std::size_t>(length));
        recharge(chargedCurrent, current.capacity());
    }
}

void HrefCollector::State::namespaceBinding() {
    ++derived;
    checkDerived();
}

void HrefCollector::State::addName() {
    auto name = DAVNames::contactFileName(Text::trimWhitespaceAndNewlines(current));
    current.clear();
    if (!name) return;
    auto& names = owner.names_;
    if (names.count(*name)) return;
    name->shrink_to_fit();
    const std::size_t cost = nameOverhead + (name->capacity() > 15 ? name->capacity() + 1 + 16 : 0);
    if (!budget.take(cost)) return exceed(Bound::memory);
    names.insert(std::move(*name));
}

HrefCollector::HrefCollector() : HrefCollector(Limits{}) {}

HrefCollector::HrefCollector(const Limits& limits) : state_(std::make_unique<State>(*this, limits)) {}

HrefCollector::~HrefCollector() = default;

HrefCollector::Bound HrefCollector::bound() const noexcept {
    return state_->bound;
}

std::size_t HrefCollector::peakBytes() const noexcept {
    return state_->budget.peak;
}

void HrefCollector::feed(std::string_view chunk) {
    State& s = *state_;
    if (!s.live()) return;
    if (!s.decided) {
        const std::size_t take = std::min(chunk.size(), maxDeclaration - s.head.size());
        s.head.append(chunk.substr(0, take));
        chunk.remove_prefix(take);
        if (!sniff(s.head, false).decided) return;
        s.start();
        if (!s.live()) return;
        const std::string head = std::exchange(s.head, {});
        s.route(head);
    }
    s.route(chunk);
}

void HrefCollector::finish() {
    State& s = *state_;
    if (!s.live()) return;
    if (!s.decided) {
        s.start();
        if (!s.live()) return;
        const std::string head = std::exchange(s.head, {});
        s.route(head);
    }
    if (s.live() && s.source) s.convert({}, true);
    if (!s.live()) return;
    const std::vector<char> rest = std::exchange(s.pending, {});
    s.parse(std::string_view(rest.data(), rest.size()), true);
    s.end();
}

std::set<std::string> HrefCollector::collect(std::string_view body) {
    HrefCollector collector;
    collector.feed(body);
    collector.finish();
    if (collector.exceeded()) return {};
    return collector.takeNames();
}
