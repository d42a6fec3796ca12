// CPU time and memory of the listing parser on hostile bodies: each shape is generated on the fly
// up to SIZE MiB (default 64) and fed in 16 KiB pieces, as libcurl hands a body over, until the
// parser stops at a bound or the body ends. Prints, per shape, the CPU time, how much of the body
// was read, the bound that stopped it, the most the parser counted as held and the growth of the
// process's peak resident memory. Run: build/bench/listing_bench [SIZE_MIB] [SHAPE...]
#include "core/HrefCollector.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRSSKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Gives the heap's free memory back and sets the peak resident memory back to what is resident
// now (Linux 4.0 and later).
void resetPeak() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Shape {
    const char* name;
    std::string prefix;
    std::function<std::string(std::size_t)> unit; // the i-th repeated piece
};

// The texts one after the other (gcc 12 at -O3 warns falsely about "literal" + std::string).
std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const auto part : parts)
        out += part;
    return out;
}

std::string repeat(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

std::vector<Shape> shapes() {
    const std::string block(4096, 'x');
    const std::string ms = "<D:multistatus xmlns:D='DAV:'>";
    std::string defaults = "<!DOCTYPE m [<!ATTLIST a";
    for (int i = 0; i < 1000; ++i)
        defaults += join({" x", std::to_string(i), " CDATA 'v'"});
    defaults += ">]><m>";
    return {
        {"long attribute value", "<m><a b='", [=](std::size_t) { return block; }},
        {"long tag name", "<m><", [=](std::size_t) { return block; }},
        {"long comment", "<m><!--", [=](std::size_t) { return block; }},
        {"long entity value", "<!DOCTYPE m [<!ENTITY e '", [=](std::size_t) { return block; }},
        {"many attributes, one tag", "<m><a ",
         [](std::size_t i) {
             return join({"a", std::to_string(i), "='' "});
         }},
        {"many attributes, many tags", "<m>", [](std::size_t) { return std::string("<a b='' c='' d='' e=''/>"); }},
        {"many attribute names", "<m>",
         [](std::size_t i) {
             return join({"<a x", std::to_string(i), "=''/>"});
         }},
        {"deep nesting", "", [](std::size_t) { return std::string("<a>"); }},
        {"long text", "<m>", [=](std::size_t) { return block; }},
        {"long text, character references", "<m>", [](std::size_t) { return std::string("&#x41;&amp;"); }},
        {"empty elements", "<m>", [](std::size_t) { return std::string("<a/>"); }},
        {"short texts", "<m>", [](std::size_t) { return std::string("<a>\r\n</a>"); }},
        {"many element names", "<m>",
         [](std::size_t i) {
             return join({"<e", std::to_string(i), "/>"});
         }},
        {"many namespace bindings", "<m>", [](std::size_t) { return std::string("<p:a xmlns:p='u'/>"); }},
        {"many prefixes", "<m>",
         [](std::size_t i) {
             return join({"<p", std::to_string(i), ":a xmlns:p", std::to_string(i), "='u'/>"});
         }},
        {"comments and instructions", "<m>", [](std::size_t) { return std::string("<!----><?p?><![CDATA[]]>"); }},
        {"many entity declarations", "<!DOCTYPE m [",
         [](std::size_t i) {
             return join({"<!ENTITY e", std::to_string(i), " 'v'>"});
         }},
        {"entity expansion", "<!DOCTYPE m [<!ENTITY e '" + std::string(200, 'x') + "'>]><m>",
         [](std::size_t) { return std::string("<a>&e;</a>"); }},
        {"attribute defaults", defaults, [](std::size_t) { return std::string("<a/>"); }},
        {"many names", ms,
         [](std::size_t i) {
             return join({"<D:response><D:href>/dav/contacts/", std::to_string(i), ".md</D:href></D:response>"});
         }},
        {"one name again and again", ms,
         [](std::size_t) { return std::string("<D:response><D:href>/dav/contacts/a.md</D:href></D:response>"); }},
        {"many names, windows-1252", "<?xml version='1.0' encoding='windows-1252'?>" + ms,
         [](std::size_t i) {
             return join({"<D:href>/dav/contacts/Zo\xEB", std::to_string(i), ".md</D:href>"});
         }},
        {"long text, Shift_JIS", "<?xml version='1.0' encoding='Shift_JIS'?><m>",
         [](std::size_t) { return repeat("\x93\xfa\x96\x7b", 1000) + "<a/>"; }},
        {"long text, GB18030", "<?xml version='1.0' encoding='GB18030'?><m>",
         [](std::size_t) { return repeat("\x95\x32\x82\x36", 1000) + "<a/>"; }},
    };
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t size = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64) << 20;
    const std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
    static const char* bounds[] = {"none", "memory", "depth", "token", "derived"};
    std::printf("%-32s %9s %9s %8s %11s %11s\n", "shape", "cpu s", "read MiB", "bound", "held MiB", "peak+ MiB");
    double worst = 0;
    for (const Shape& shape : shapes()) {
        if (!only.empty() && std::find(only.begin(), only.end(), shape.name) == only.end()) continue;
        resetPeak();
        const long before = peakRSSKiB();
        const double start = cpuSeconds();
        std::size_t read = 0;
        {
            HrefCollector collector;
            std::string buffer = shape.prefix;
            std::size_t made = buffer.size();
            for (std::size_t i = 0; made < size || !buffer.empty();) {
                while (buffer.size() < 16384 && made < size) {
                    const std::string unit = shape.unit(i++);
                    buffer += unit;
                    made += unit.size();
                }
                const std::size_t piece = std::min<std::size_t>(buffer.size(), 16384);
                collector.feed(std::string_view(buffer).substr(0, piece));
                read += piece;
                buffer.erase(0, piece);
                if (collector.exceeded()) break;
            }
            collector.finish();
            const double cpu = cpuSeconds() - start;
            worst = std::max(worst, cpu);
            std::printf("%-32s %9.2f %9.1f %8s %11.1f %11.1f\n", shape.name, cpu, static_cast<double>(read) / (1 << 20),
                        bounds[static_cast<int>(collector.bound())],
                        static_cast<double>(collector.peakBytes()) / (1 << 20),
                        static_cast<double>(peakRSSKiB() - before) / 1024);
            std::fflush(stdout);
        }
    }
    std::printf("worst CPU time: %.2f s (target: about 2 s for a %zu MiB body)\n", worst, size >> 20);
    return 0;
}
