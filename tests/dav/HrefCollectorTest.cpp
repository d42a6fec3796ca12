// The listing parser and the name rules, without a socket.
#include "core/HrefCollector.h"
#include "core/DAVNames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;
using Bound = HrefCollector::Bound;

std::string captured(const std::string& name) {
    const char* source = std::getenv("PELTWICK_SOURCE_DIR");
    std::ifstream file(std::string(source ? source : ".") + "/tests/dav/corpus/" + name, std::ios::binary);
    EXPECT_TRUE(file) << name;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// What body gives read whole and in pieces of several sizes: the names, and the bound it passed.
struct Read {
    Names names;
    Bound bound = Bound::none;
};

std::vector<Read> readings(const std::string& body, const HrefCollector::Limits& limits = {}) {
    std::vector<Read> out;
    for (const std::size_t piece : {body.size() + 1, std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        HrefCollector collector(limits);
        for (std::size_t at = 0; at < body.size(); at += piece)
            collector.feed(std::string_view(body).substr(at, piece));
        collector.finish();
        out.push_back({collector.names(), collector.bound()});
    }
    return out;
}

} // namespace

// Which hrefs count, what their text gives, and what a fault keeps: every body gives the same
// whether it arrives whole or in pieces.
TEST(HrefCollector, Listings) {
    std::string laughs = "<?xml version='1.0'?><!DOCTYPE m [<!ENTITY l0 'lol'>";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    const Names served{"a.md", "b c.md", "Zoë.md"};
    for (const auto& [body, names] : std::vector<std::pair<std::string, Names>>{
             // What Apache's mod_dav and lighttpd answer (lower- and upper-case escapes).
             {captured("apache-listing.xml"), served},
             {captured("lighttpd-listing.xml"), served},
             // Any prefix, or none, any namespace and any case of "href".
             {R"(<multistatus xmlns="DAV:"><response><href>/dav/contacts/x.md</href></response>)"
              R"(<response><HREF>/dav/contacts/y.md</HREF></response><Href>z.md</Href></multistatus>)",
              {"x.md", "y.md", "z.md"}},
             {"<a><href>p.md</href><x:HRef xmlns:x='urn:other'>q.md</x:HRef></a>", {"p.md", "q.md"}},
             // The text: trimmed (a non-breaking space and U+2028 too), a full URL, CDATA left out,
             // references resolved, an href inside a property, no name from any other element.
             {"<m xmlns='DAV:'><href>\n  \t/dav/contacts/spaced.md \r\n</href>"
              "<href>http://example.org:8080/dav/contacts/full.md</href>"
              "<href>/dav/contacts/<![CDATA[hidden]]>cd.md</href><href>  </href><href>/dav/&#x61;mp&amp;.md</href>"
              "<prop><displayname><href>/inside/property.md</href></displayname></prop>"
              "<other>/dav/contacts/not-an-href.md</other><href>\u00A0nbsp.md\u2028</href></m>",
              {"spaced.md", "full.md", "cd.md", "amp&.md", "property.md", "nbsp.md"}},
             // A broken href spoils no other; duplicates count once.
             {"<m><href>/c/%zz.md</href><href>/c/a.md</href><href>/c/a.md</href><href>/c/%61.md</href></m>", {"a.md"}},
             // A fault in the middle, or an undeclared prefix: nothing after it counts.
             {"<m><href>/a.md</href></wrong><href>/b.md</href></m>", {"a.md"}},
             {"<m><href>/a.md</href><q:href>/b.md</q:href></m>", {"a.md"}},
             // Billion laughs: expat refuses the amplification instead of expanding 10^9 copies.
             {laughs + "]><m><href>/first.md</href><href>&l9;</href><href>/after.md</href></m>", {"first.md"}},
             // External entities are never fetched; a small internal entity is ordinary text.
             {"<!DOCTYPE m [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><m><href>/a&x;.md</href></m>", {"a.md"}},
             {"<!DOCTYPE m [<!ENTITY n 'name'>]><m><href>/&n;.md</href></m>", {"name.md"}}}) {
        for (const Read& read : readings(body)) {
            EXPECT_EQ(read.names, names) << body.substr(0, 80);
            EXPECT_EQ(read.bound, Bound::none) << body.substr(0, 80);
        }
    }
}

// Each bound stops a body that passes it and lets one at its edge through, however the body is
// cut into pieces (small bounds here; the client's listing test has the real ones).
TEST(HrefCollector, Bounds) {
    HrefCollector::Limits limits;
    limits.maxTokenBytes = 64;
    limits.maxDepth = 6;
    limits.derivedAllowance = 16;
    const std::string name = "<m><href>/a.md</href>";
    std::string many = name;
    for (int i = 0; i < 2000; ++i)
        many += "<href>/" + std::to_string(i) + ".md</href>";
    const auto defaults = [](int count) {
        std::string dtd = "<!DOCTYPE m [<!ATTLIST e";
        for (int i = 0; i < count; ++i)
            dtd += " a" + std::to_string(i) + " CDATA 'v'";
        return dtd + ">]>";
    };
    HrefCollector::Limits small = limits;
    small.maxBytes = 64 * 1024;
    for (const auto& [body, bound, bounds] : std::vector<std::tuple<std::string, Bound, HrefCollector::Limits>>{
             // A tag of 64 bytes, and one whose 65 bytes are held unfinished.
             {name + "<" + std::string(61, 'n') + "/></m>", Bound::none, limits},
             {name + "<" + std::string(63, 'n') + "/></m>", Bound::token, limits},
             // 64 bytes of text between two tags, and 65.
             {name + "<t>" + std::string(64, 't') + "</t></m>", Bound::none, limits},
             {name + "<t>" + std::string(65, 't') + "</t></m>", Bound::token, limits},
             // Six open elements, and seven.
             {name + "<a><a><a><a><a></a></a></a></a></a></m>", Bound::none, limits},
             {name + "<a><a><a><a><a><a></a></a></a></a></a></a></m>", Bound::depth, limits},
             // Attributes added by a DTD, within the allowance and past it.
             {defaults(2) + name + "<e/><e/><e/><e/></m>", Bound::none, limits},
             {defaults(20) + name + "<e/><e/><e/><e/><e/><e/><e/><e/><e/><e/></m>", Bound::derived, limits},
             // Names past the memory the collection may hold.
             {many + "</m>", Bound::none, limits},
             {many + "</m>", Bound::memory, small}}) {
        for (const Read& read : readings(body, bounds)) {
            EXPECT_EQ(read.bound, bound) << body.substr(0, 80);
            if (bound == Bound::none) {
                EXPECT_TRUE(read.names.count("a.md")) << body.substr(0, 80);
            }
        }
    }
    // A whole body past a bound gives no names, not those read before it.
    std::string deep = name;
    for (int i = 0; i < 300; ++i)
        deep += "<a>";
    EXPECT_EQ(HrefCollector::collect(deep), Names{});
}

TEST(DAVNames, DecodingSplittingAndEncoding) {
    using DAVNames::contactFileName;
    EXPECT_EQ(contactFileName(".md"), ".md");
    EXPECT_EQ(contactFileName("/dav/contacts/sub.md/"), "sub.md"); // trailing "/" pieces are dropped
    EXPECT_EQ(contactFileName("/dav/contacts/a+b.md"), "a+b.md");  // "+" is no space
    EXPECT_EQ(contactFileName("/dav/contacts/a%2Fb.md"), "b.md");  // a decoded "/" splits too
    EXPECT_EQ(contactFileName("/dav/contacts/a%2fb.md"), "b.md");
    // No file name; broken escapes and bytes that are no UTF-8 skip the href.
    for (const char* none :
         {"/dav/contacts/", "/dav/contacts", "/", "", "/dav/contacts/x.md?v=1", "/dav/contacts/X.MD",
          "/dav/contacts/100%.md", "/dav/contacts/%G1.md", "/dav/contacts/a%2.md", "/dav/contacts/a.md%",
          "/dav/contacts/%FF.md", "/dav/contacts/%C3.md", "/dav/contacts/%ED%A0%80.md"})
        EXPECT_EQ(contactFileName(none), std::nullopt) << none;

    using DAVNames::percentEncodePath;
    EXPECT_EQ(percentEncodePath("AZaz09-._~!$&'()*+,=:/@"), "AZaz09-._~!$&'()*+,=:/@");
    EXPECT_EQ(percentEncodePath("b c\"#%;<>?[]\\^`{|}.md"), "b%20c%22%23%25%3B%3C%3E%3F%5B%5D%5C%5E%60%7B%7C%7D.md");
    EXPECT_EQ(percentEncodePath("Zoë\t.md"), "Zo%C3%AB%09.md");
    EXPECT_EQ(percentEncodePath("bad\xFF.md"), std::nullopt);
    // What the listing decodes is what createFile encodes.
    EXPECT_EQ(contactFileName("/dav/contacts/" + *percentEncodePath("Zoë Smith #2.md")), "Zoë Smith #2.md");
}
