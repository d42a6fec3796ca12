// The listing parser over the bodies of tests/dav/corpus (what real servers answer, and hostile
// shapes) and a few written here.
#include "core/HrefCollector.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <fstream>
#include <sstream>

// Linked in with AddressSanitizer, whose shadow memory distorts the peak.
extern "C" void __asan_init() __attribute__((weak));

using Bound = HrefCollector::Bound;

static std::string corpus(const std::string& name) {
    std::ifstream file(std::string(std::getenv("PELTWICK_SOURCE_DIR")) + "/tests/dav/corpus/" + name);
    EXPECT_TRUE(file) << name;
    return (std::ostringstream() << file.rdbuf()).str();
}

// The process's peak resident memory in KiB, set back to what is resident once the heap has given
// back what is free (getrusage's figure cannot be set back: it keeps that of every ended thread).
static long peakMemory(bool reset = false) {
    if (reset) ::malloc_trim(0), std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return 0;
}

// Each body gives its names, fed whole or one byte at a time; a body past a bound says which. A
// hostile body (its start, then up to 8 MiB of `repeat` with "#" counting up) holds at most 128 MiB.
TEST(HrefCollector, Listings) {
    struct Row {
        std::string body;
        std::set<std::string> names;
        Bound bound = Bound::none;
        std::string repeat = {};
        HrefCollector::Limits limits = {};
    };
    const std::set<std::string> served{"a.md", "b c.md", "Zoë.md"};
    for (const Row& row : std::vector<Row>{
             {corpus("apache-listing.xml"), served}, // escapes in lower case
             {corpus("lighttpd-listing.xml"), served},
             // Any namespace, prefix and case of "href"; full URLs; decoding, CDATA left out, broken
             // escapes and bytes that are no UTF-8 skipped; the last piece of the path, ".md" only.
             {corpus("lowercase-prefix.xml"), {"ada-king.md", "linked.md"}},
             {corpus("no-prefix-odd-case.xml"), {"spaced name.md", "~~++.md"}},
             {"<m><x:HRef xmlns:x='urn:a'>/c/a%2Fb.md</x:HRef><href>/c/sub.md/</href><href>/c/X.MD</href>"
              "<href>/c/x.md?v=1</href><href>/c/100%.md</href><href>/c/%4g.md</href></m>",
              {"b.md", "sub.md"}},
             // Entities: no amplification, nothing external; a fault keeps what came before it.
             {corpus("billion-laughs.xml"), {"a.md"}},
             {"<!DOCTYPE m [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><m><href>/a&x;.md</href></m>", {"a.md"}},
             // Declared encodings: expat's own, ICU's single- and multi-byte ones, and none known.
             {corpus("utf16.xml"), {"wide.md"}},
             {corpus("windows-1252.xml"), {"Zoë.md", "€uro.md"}},
             {corpus("iso-8859-15.xml"), {"€.md", "Œuvre.md"}},
             {corpus("shift_jis.xml"), {"日本.md", "ｶﾅ.md"}},
             {corpus("utf-32.xml"), {"Zoë.md", "😀.md"}},
             {corpus("bad-shift_jis.xml"), {"a.md"}},
             {corpus("unknown-encoding.xml"), {}},
             {corpus("cut-off.xml"), {"a.md"}},
             {corpus("html.xml"), {}},
             {"", {}},
             // Past the bounds: nesting, one token (a value, a text), the memory the names take.
             {corpus("deep-nesting.xml"), {}, Bound::depth, "<a>"},
             {"<m><href>/a.md</href><a b='", {}, Bound::token, std::string(4096, 'x')},
             {"<m><href>/a.md</href><x>", {}, Bound::token, std::string(4096, 'x')},
             {"<m>", {}, Bound::memory, "<href>/#.md</href>", {.maxBytes = 1 << 20}},
         }) {
        SCOPED_TRACE(row.body.substr(0, 100));
        for (const std::size_t piece : {row.body.size() + 1, std::size_t{1}}) {
            HrefCollector collector(row.limits);
            const long before = peakMemory(true);
            for (std::size_t at = 0; at < row.body.size(); at += piece)
                collector.feed(std::string_view(row.body).substr(at, piece));
            for (unsigned i = 0; !row.repeat.empty() && i * row.repeat.size() < 8 << 20 && !collector.exceeded(); ++i) {
                std::string unit = row.repeat;
                if (const auto at = unit.find('#'); at != std::string::npos) unit.replace(at, 1, std::to_string(i));
                collector.feed(unit);
            }
            collector.finish();
            EXPECT_EQ(collector.bound(), row.bound);
            EXPECT_EQ(row.bound == Bound::none ? collector.names() : row.names, row.names); // names past a bound vary
            EXPECT_LT(&__asan_init ? 0 : peakMemory() - before, 128 << 10);
        }
    }
}
