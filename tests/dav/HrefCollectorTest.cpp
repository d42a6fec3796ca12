// The listing parser and the name rules, without a socket.
#include "HrefCollector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;

Names namesOf(const std::string& body) {
    return DAVNames::contactFileNames(HrefCollector::collect(body));
}

// The same body fed in pieces of the given size.
std::vector<std::string> hrefsInPieces(const std::string& body, std::size_t piece) {
    HrefCollector collector;
    for (std::size_t at = 0; at < body.size(); at += piece)
        collector.feed(std::string_view(body).substr(at, piece));
    collector.finish();
    return collector.hrefs();
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
    EXPECT_EQ(namesOf(apacheListing), (Names{"a.md", "b c.md", "Zo\xC3\xAB.md"}));
    EXPECT_EQ(namesOf(R"(<d:multistatus xmlns:d="DAV:"><d:response><d:href>/dav/contacts/x.md</d:href>)"
                      R"(</d:response></d:multistatus>)"),
              Names{"x.md"});
    EXPECT_EQ(namesOf(R"(<multistatus xmlns="DAV:"><response><href>/dav/contacts/x.md</href></response>)"
                      R"(<response><HREF>/dav/contacts/y.md</HREF></response><Href>z.md</Href></multistatus>)"),
              (Names{"x.md", "y.md", "z.md"}));
    // No namespace at all, and a foreign namespace: the local name alone decides.
    EXPECT_EQ(namesOf("<a><href>p.md</href><x:HRef xmlns:x='urn:other'>q.md</x:HRef></a>"), (Names{"p.md", "q.md"}));
    // Upper-case escapes, as lighttpd writes them, decode like lower-case ones.
    EXPECT_EQ(namesOf("<m><href>/dav/contacts/Zo%C3%AB%20Smith.md</href></m>"), Names{"Zo\xC3\xAB Smith.md"});
}

TEST(HrefCollector, HrefTextRules) {
    const auto hrefs = HrefCollector::collect("<m xmlns='DAV:'>"
                                              "<href>\n  \t/dav/contacts/spaced.md \r\n</href>"
                                              "<href>http://example.org:8080/dav/contacts/full.md</href>"
                                              "<href>/dav/contacts/<![CDATA[hidden]]>cd.md</href>"
                                              "<href>  </href>"
                                              "<href>/dav/&#x61;mp&amp;.md</href>"
                                              "<prop><displayname><href>/inside/property.md</href></displayname></prop>"
                                              "<other>/dav/contacts/not-an-href.md</other>"
                                              "</m>");
    EXPECT_EQ(hrefs,
              (std::vector<std::string>{"/dav/contacts/spaced.md", "http://example.org:8080/dav/contacts/full.md",
                                        "/dav/contacts/cd.md", "", "/dav/amp&.md", "/inside/property.md"}));
    EXPECT_EQ(DAVNames::contactFileNames(hrefs), (Names{"spaced.md", "full.md", "cd.md", "amp&.md", "property.md"}));
    // A non-breaking space and U+2028 trim like ordinary white space.
    EXPECT_EQ(HrefCollector::collect("<href>\xC2\xA0x.md\xE2\x80\xA8</href>"), std::vector<std::string>{"x.md"});
}

TEST(HrefCollector, MalformedBodiesKeepWhatCameBefore) {
    EXPECT_TRUE(HrefCollector::collect("").empty());
    EXPECT_TRUE(HrefCollector::collect("<html><body>Not XML at all").empty());
    EXPECT_TRUE(HrefCollector::collect("{\"json\": true}").empty());
    // Breaks off inside the third href: the two complete ones count, the half one does not.
    const std::string cut = "<m><href>/a.md</href><href>/b.md</href><href>/c.m";
    EXPECT_EQ(HrefCollector::collect(cut), (std::vector<std::string>{"/a.md", "/b.md"}));
    // A fault in the middle: nothing after it counts, even well-formed hrefs.
    EXPECT_EQ(HrefCollector::collect("<m><href>/a.md</href></wrong><href>/b.md</href></m>"),
              std::vector<std::string>{"/a.md"});
    // Undeclared prefix: a namespace error stops the parse at that element.
    EXPECT_EQ(HrefCollector::collect("<m><href>/a.md</href><q:href>/b.md</q:href></m>"),
              std::vector<std::string>{"/a.md"});
}

TEST(HrefCollector, PiecesGiveTheSameResultAsTheWholeBody) {
    const std::string cut = apacheListing.substr(0, apacheListing.size() - 80);
    for (const std::string& body : {apacheListing, cut}) {
        const auto whole = HrefCollector::collect(body);
        for (const std::size_t piece : {1u, 2u, 7u, 64u, 4096u})
            EXPECT_EQ(hrefsInPieces(body, piece), whole) << "pieces of " << piece;
    }
}

TEST(HrefCollector, EntityTricksStayBounded) {
    // Billion laughs: expat refuses the amplification instead of expanding 10^9 copies.
    std::string laughs = "<?xml version='1.0'?><!DOCTYPE m [<!ENTITY l0 'lol'>";
    for (int i = 1; i <= 9; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " '" + [&] {
            std::string ten;
            for (int j = 0; j < 10; ++j)
                ten += "&l" + std::to_string(i - 1) + ";";
            return ten;
        }() + "'>";
    laughs += "]><m><href>/first.md</href><href>&l9;</href><href>/after.md</href></m>";
    const auto hrefs = HrefCollector::collect(laughs);
    EXPECT_EQ(hrefs, std::vector<std::string>{"/first.md"});
    // External entities are never fetched: the reference expands to nothing.
    const auto external = HrefCollector::collect("<!DOCTYPE m [<!ENTITY x SYSTEM 'file:///etc/passwd'>]>"
                                                 "<m><href>/a&x;.md</href></m>");
    ASSERT_LE(external.size(), 1u);
    if (!external.empty()) {
        EXPECT_EQ(external[0], "/a.md");
    }
    // A small internal entity is ordinary text.
    EXPECT_EQ(HrefCollector::collect("<!DOCTYPE m [<!ENTITY n 'name'>]><m><href>/&n;.md</href></m>"),
              std::vector<std::string>{"/name.md"});
}

TEST(DAVNames, DecodingAndSplitting) {
    using DAVNames::contactFileName;
    EXPECT_EQ(contactFileName("/dav/contacts/"), std::nullopt);
    EXPECT_EQ(contactFileName("/dav/contacts"), std::nullopt);
    EXPECT_EQ(contactFileName("/"), std::nullopt);
    EXPECT_EQ(contactFileName(""), std::nullopt);
    EXPECT_EQ(contactFileName(".md"), ".md");
    EXPECT_EQ(contactFileName("/dav/contacts/sub.md/"), "sub.md"); // trailing "/" pieces are dropped
    EXPECT_EQ(contactFileName("/dav/contacts/a+b.md"), "a+b.md");  // "+" is no space
    EXPECT_EQ(contactFileName("/dav/contacts/a%2Fb.md"), "b.md");  // a decoded "/" splits too
    EXPECT_EQ(contactFileName("/dav/contacts/a%2fb.md"), "b.md");
    EXPECT_EQ(contactFileName("/dav/contacts/x.md?v=1"), std::nullopt);
    EXPECT_EQ(contactFileName("/dav/contacts/X.MD"), std::nullopt);
    // Broken escapes and bytes that are no UTF-8 skip the href.
    for (const char* broken :
         {"/dav/contacts/100%.md", "/dav/contacts/%G1.md", "/dav/contacts/a%2.md", "/dav/contacts/a.md%",
          "/dav/contacts/%FF.md", "/dav/contacts/%C3.md", "/dav/contacts/%ED%A0%80.md"})
        EXPECT_EQ(contactFileName(broken), std::nullopt) << broken;
    // One broken href does not spoil the others; duplicates count once.
    EXPECT_EQ(DAVNames::contactFileNames({"/c/%zz.md", "/c/a.md", "/c/a.md", "/c/%61.md"}), Names{"a.md"});
}

TEST(DAVNames, PathEncoding) {
    using DAVNames::percentEncodePath;
    EXPECT_EQ(percentEncodePath("ada-king.md"), "ada-king.md");
    EXPECT_EQ(percentEncodePath("AZaz09-._~!$&'()*+,=:/@"), "AZaz09-._~!$&'()*+,=:/@");
    EXPECT_EQ(percentEncodePath("b c\"#%;<>?[]\\^`{|}.md"), "b%20c%22%23%25%3B%3C%3E%3F%5B%5D%5C%5E%60%7B%7C%7D.md");
    EXPECT_EQ(percentEncodePath("Zo\xC3\xAB\t.md"), "Zo%C3%AB%09.md");
    EXPECT_EQ(percentEncodePath("bad\xFF.md"), std::nullopt);
    // What the listing decodes is what createFile encodes.
    const std::string name = "Zo\xC3\xAB Smith #2.md";
    EXPECT_EQ(DAVNames::contactFileName("/dav/contacts/" + *percentEncodePath(name)), name);
}
