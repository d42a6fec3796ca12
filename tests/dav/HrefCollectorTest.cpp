// The listing parser and the name rules, without a socket.
#include "core/HrefCollector.h"
#include "core/DAVNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;
using Hrefs = std::vector<std::string>;

Names namesOf(const std::string& body) {
    return DAVNames::contactFileNames(HrefCollector::collect(body));
}

const std::string apacheListing = R"(<?xml version="1.0" encoding="utf-8"?>
<D:multistatus xmlns:D="DAV:" xmlns:ns0="DAV:">
<D:response xmlns:lp1="DAV:"><D:href>/dav/contacts/</D:href><D:propstat><D:prop>
<lp1:resourcetype><D:collection/></lp1:resourcetype></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>
<D:response><D:href>/dav/contacts/a.md</D:href></D:response>
<D:response><D:href>/dav/contacts/b%20c.md</D:href></D:response>
<D:response><D:href>/dav/contacts/d.MD</D:href></D:response>
<D:response><D:href>/dav/contacts/e.txt</D:href></D:response>
<D:response><D:href>/dav/contacts/Zo%c3%ab.md</D:href></D:response>
</D:multistatus>
)";

} // namespace

TEST(HrefCollector, CollectsByLocalNameWhateverThePrefixOrCase) {
    EXPECT_EQ(namesOf(apacheListing), (Names{"a.md", "b c.md", "Zoë.md"}));
    EXPECT_EQ(namesOf(R"(<multistatus xmlns="DAV:"><response><href>/dav/contacts/x.md</href></response>)"
                      R"(<response><HREF>/dav/contacts/y.md</HREF></response><Href>z.md</Href></multistatus>)"),
              (Names{"x.md", "y.md", "z.md"}));
    // No namespace at all, and a foreign namespace: the local name alone decides.
    EXPECT_EQ(namesOf("<a><href>p.md</href><x:HRef xmlns:x='urn:other'>q.md</x:HRef></a>"), (Names{"p.md", "q.md"}));
    // Upper-case escapes, as lighttpd writes them, decode like lower-case ones.
    EXPECT_EQ(namesOf("<m><href>/dav/contacts/Zo%C3%AB%20Smith.md</href></m>"), Names{"Zoë Smith.md"});
}

TEST(HrefCollector, HrefTextRules) {
    const auto hrefs = HrefCollector::collect("<m xmlns='DAV:'><href>\n  \t/dav/contacts/spaced.md \r\n</href>"
                                              "<href>http://example.org:8080/dav/contacts/full.md</href>"
                                              "<href>/dav/contacts/<![CDATA[hidden]]>cd.md</href><href>  </href>"
                                              "<href>/dav/&#x61;mp&amp;.md</href>"
                                              "<prop><displayname><href>/inside/property.md</href></displayname></prop>"
                                              "<other>/dav/contacts/not-an-href.md</other></m>");
    EXPECT_EQ(hrefs, (Hrefs{"/dav/contacts/spaced.md", "http://example.org:8080/dav/contacts/full.md",
                            "/dav/contacts/cd.md", "", "/dav/amp&.md", "/inside/property.md"}));
    EXPECT_EQ(DAVNames::contactFileNames(hrefs), (Names{"spaced.md", "full.md", "cd.md", "amp&.md", "property.md"}));
    // A non-breaking space and U+2028 trim like ordinary white space.
    EXPECT_EQ(HrefCollector::collect("<href>\u00A0x.md\u2028</href>"), Hrefs{"x.md"});
}

TEST(HrefCollector, BrokenBodiesAndEntityTricks) {
    std::string laughs = "<?xml version='1.0'?><!DOCTYPE m [<!ENTITY l0 'lol'>";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    for (const auto& [body, expected] : std::vector<std::pair<std::string, Hrefs>>{
             {"", {}},
             {"<html><body>Not XML at all", {}},
             {"{\"json\": true}", {}},
             // Breaks off inside the third href: the two complete ones count, the half one does not.
             {"<m><href>/a.md</href><href>/b.md</href><href>/c.m", {"/a.md", "/b.md"}},
             // A fault in the middle, or an undeclared prefix: nothing after it counts.
             {"<m><href>/a.md</href></wrong><href>/b.md</href></m>", {"/a.md"}},
             {"<m><href>/a.md</href><q:href>/b.md</q:href></m>", {"/a.md"}},
             // Billion laughs: expat refuses the amplification instead of expanding 10^9 copies.
             {laughs + "]><m><href>/first.md</href><href>&l9;</href><href>/after.md</href></m>", {"/first.md"}},
             // External entities are never fetched; a small internal entity is ordinary text.
             {"<!DOCTYPE m [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><m><href>/a&x;.md</href></m>", {"/a.md"}},
             {"<!DOCTYPE m [<!ENTITY n 'name'>]><m><href>/&n;.md</href></m>", {"/name.md"}}}) {
        EXPECT_EQ(HrefCollector::collect(body), expected) << body.substr(0, 80);
        // Fed in pieces as the body arrives, the result is the same.
        for (const std::size_t piece : {1u, 7u, 4096u}) {
            HrefCollector collector;
            for (std::size_t at = 0; at < body.size(); at += piece)
                collector.feed(std::string_view(body).substr(at, piece));
            collector.finish();
            EXPECT_EQ(collector.hrefs(), expected) << "pieces of " << piece;
        }
    }
}

// An endless listing (one huge href, or countless empty ones) stops at the memory limit instead
// of growing without bound; a listing within the limit is whole.
TEST(HrefCollector, StopsAtItsMemoryLimit) {
    const std::size_t limit = 1000;
    const std::string within = "<m><href>/a.md</href><href>/b.md</href></m>";
    std::string emptyOnes = "<m>";
    for (int i = 0; i < 100; ++i)
        emptyOnes += "<href/>";
    for (const std::string& body : {"<m><href>" + std::string(2 * limit, 'a') + "</href></m>", emptyOnes + "</m>"}) {
        HrefCollector collector(limit);
        for (std::size_t at = 0; at < body.size(); at += 64)
            collector.feed(std::string_view(body).substr(at, 64));
        collector.finish();
        EXPECT_TRUE(collector.overflowed()) << body.substr(0, 40);
        EXPECT_LT(collector.hrefs().size() * sizeof(std::string), limit);
    }
    HrefCollector collector(limit);
    collector.feed(within);
    collector.finish();
    EXPECT_FALSE(collector.overflowed());
    EXPECT_EQ(collector.hrefs(), (Hrefs{"/a.md", "/b.md"}));
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
    // One broken href does not spoil the others; duplicates count once.
    EXPECT_EQ(DAVNames::contactFileNames({"/c/%zz.md", "/c/a.md", "/c/a.md", "/c/%61.md"}), Names{"a.md"});

    using DAVNames::percentEncodePath;
    EXPECT_EQ(percentEncodePath("AZaz09-._~!$&'()*+,=:/@"), "AZaz09-._~!$&'()*+,=:/@");
    EXPECT_EQ(percentEncodePath("b c\"#%;<>?[]\\^`{|}.md"), "b%20c%22%23%25%3B%3C%3E%3F%5B%5D%5C%5E%60%7B%7C%7D.md");
    EXPECT_EQ(percentEncodePath("Zoë\t.md"), "Zo%C3%AB%09.md");
    EXPECT_EQ(percentEncodePath("bad\xFF.md"), std::nullopt);
    // What the listing decodes is what createFile encodes.
    EXPECT_EQ(contactFileName("/dav/contacts/" + *percentEncodePath("Zoë Smith #2.md")), "Zoë Smith #2.md");
}
