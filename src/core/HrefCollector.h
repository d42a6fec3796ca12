#pragma once

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <string_view>

// Reads the note file names out of a WebDAV multistatus body (the listing of the contacts
// collection). The body may arrive in pieces of any size: feed() each piece as it comes and
// finish() at the end. Every href anywhere in the document counts, matched by local name whatever
// its namespace, prefix or case; its text, trimmed, gives a name by DAVNames::contactFileName.
//
// Encodings: whatever the XML declaration names. Expat reads UTF-8, UTF-16, ISO-8859-1 and
// US-ASCII itself; a body that declares any other encoding (or starts as UTF-32) is converted to
// UTF-8 by ICU's converter of that name as it arrives.
//
// Faults: a malformed body ends the collection quietly at the fault and keeps the names read
// before it. So do an empty body, one that is not XML, bytes that are no text in the declared
// encoding, and an encoding that no converter knows.
//
// Bounds: a body that passes one of them ends the collection and exceeded() turns true; it is no
// answer to work with (the client reports an unexpected server response).
//  - memory: everything the collection holds (the parser's own memory, counted through its
//    allocator: its buffer, open elements and the names it has met; the data waiting for it; the
//    names kept) stays within maxBytes (64 MiB);
//  - nesting: at most maxDepth (256) open elements;
//  - one token (a tag with its attributes, a name, a comment, a declaration) or the text between
//    two tags: at most maxTokenBytes (4 MiB) in UTF-8;
//  - attributes and namespace bindings that a DTD's defaults add to elements: at most a quarter of
//    the bytes read plus derivedAllowance (64 Ki), so that no element costs work out of proportion
//    (namespace declarations written in the body count too, and never reach it).
// Entities may expand the text to at most twice the body once 1 MiB of it has been read (a listing
// has no use for them); past that, expat reports a fault.
// The parser's total work is linear in the body: data goes to expat only in pieces at least as
// large as the unfinished token it holds, so expat's rescans of that token add up to a constant
// factor (Debian 12's expat 2.5.0 rescans it from the start whenever data arrives). Those pieces
// depend on the body alone, not on how it is fed: the names, the bound passed and the memory
// counted are the same however the body is cut.
class HrefCollector {
public:
    struct Limits {
        std::size_t maxBytes = std::size_t{64} << 20;
        std::size_t maxTokenBytes = std::size_t{4} << 20; // far beyond any real name or href
        int maxDepth = 256;                               // a multistatus needs fewer than 20
        std::size_t derivedAllowance = std::size_t{64} << 10;
    };

    // Which bound a body passed.
    enum class Bound { none, memory, depth, token, derived };

    HrefCollector();
    explicit HrefCollector(const Limits& limits);
    ~HrefCollector();
    HrefCollector(const HrefCollector&) = delete;
    HrefCollector& operator=(const HrefCollector&) = delete;

    void feed(std::string_view chunk);
    void finish();

    // The names read so far (all of them once finish() has returned).
    const std::set<std::string>& names() const noexcept { return names_; }
    std::set<std::string> takeNames() noexcept { return std::move(names_); }

    bool exceeded() const noexcept { return bound() != Bound::none; }
    Bound bound() const noexcept;
    // The most the collection held at once, in bytes (by the count the memory bound uses).
    std::size_t peakBytes() const noexcept;

    // Whole bodies at once: the names of body; none when it passes a bound.
    static std::set<std::string> collect(std::string_view body);

private:
    struct State;
    std::unique_ptr<State> state_;
    std::set<std::string> names_;
};
