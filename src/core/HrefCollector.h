#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Collects the href texts of a WebDAV multistatus body. The body may arrive in pieces of any
// size: feed() each piece as it comes and finish() at the end. Elements are matched by local
// name, whatever their namespace or prefix, and every href anywhere in the document counts.
// A malformed body ends the collection quietly at the fault and keeps what was read before it.
class HrefCollector {
public:
    // What the collected hrefs may take in memory: far beyond any real listing, and a bound on
    // what an endless body from a broken or hostile server can make the client hold.
    static constexpr std::size_t defaultMaxBytes = std::size_t{64} << 20;

    explicit HrefCollector(std::size_t maxBytes = defaultMaxBytes);
    ~HrefCollector();
    HrefCollector(const HrefCollector&) = delete;
    HrefCollector& operator=(const HrefCollector&) = delete;

    void feed(std::string_view chunk);
    void finish();

    // The trimmed href texts in document order (empty ones included).
    const std::vector<std::string>& hrefs() const noexcept { return hrefs_; }
    // The hrefs reached the memory limit and the collection stopped there.
    bool overflowed() const noexcept { return overflowed_; }

    // Whole bodies at once: the hrefs of body.
    static std::vector<std::string> collect(std::string_view body);

private:
    struct Parser;
    friend struct Parser;
    void startElement(const char* name);
    void endElement(const char* name);
    void characters(const char* text, int length);
    void stop() noexcept;           // ends the parse and frees the parser
    bool charge(std::size_t bytes); // counts bytes against the limit; false (and the parse stops) past it

    Parser* parser_ = nullptr; // null once the parse has ended (finished or failed)
    std::vector<std::string> hrefs_;
    std::string current_;
    bool inHref_ = false;
    bool inCdata_ = false;
    std::size_t maxBytes_;
    std::size_t chargedBytes_ = 0;
    bool overflowed_ = false;
    std::exception_ptr failure_; // thrown inside a parser callback
};
