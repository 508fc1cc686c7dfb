// The reach filter on its own: what it turns each document into, byte for byte, fed at once and in
// pieces of every small size; what it must keep beside what it leaves out; the encodings it works in;
// that whatever it does not follow passes unchanged; and that Expat finds the same faults at the same
// lines and columns once columns are found again.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "reach_filter.h"
#include "reach_filter_checks.h"
#include "support.h"

#ifndef _WIN32
#include <expat.h>
#endif

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
using filter_checks::filtered;

// a byte string as it reads in a failure message
std::string show(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c == '\\') out += "\\\\";
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string head = "<FictionBook><description><title-info><book-title>T</book-title></title-info></description>";

// a book with the given body (after the description)
std::string book(const std::string &body, const std::string &prolog = decl) {
    return prolog + head + body + "</FictionBook>\n";
}

struct Row {
    std::string label;
    std::string doc;
    std::string out; // what the parser is given
};

Row row(std::string label, const std::string &body, const std::string &out_body) {
    return {std::move(label), book(body), book(out_body)};
}

const std::string b64 = "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIf";

std::vector<Row> make_rows() {
    std::vector<Row> rows;
    const auto add = [&rows](Row r) { rows.push_back(std::move(r)); };

    // what no query reaches: text of any element, images too, at any line length
    add(row("a paragraph", "<body><p>Some text.</p></body>", "<body><p></p></body>"));
    add(row("an image", "<binary id=\"c.jpg\">\n" + b64 + "\n" + b64 + "\nQQ==</binary>", "<binary id=\"c.jpg\">\n\n\n</binary>"));
    add(row("an image on one line", "<binary>" + std::string(70000, 'Q') + "</binary>", "<binary></binary>"));
    add(row("text between the root's children", "\n  <body>\n    <p>x</p>\n  </body>\n", "\n<body>\n<p></p>\n</body>\n"));
    add(row("CRLF line ends", "<body>\r\n<p>a\r\nb</p>\r\n</body>", "<body>\r\n<p>\r\n</p>\r\n</body>"));
    // a CR and a line feed with text between are two line breaks: a space keeps them apart
    add(row("CR line ends", "<p>a\rb\rc\nd\r</p>", "<p>\r \r \n\r</p>"));
    add(row("a CR, text and a line feed in two elements", "<p>a\r</p>b\n", "<p>\r</p>\n"));
    add(row("Cyrillic, dashes, quotes and signs of four bytes",
            "<p>\xD0\x92\xD0\xBE\xD0\xB9\xD0\xBD\xD0\xB0 \xE2\x80\x94 \xC2\xAB\xD0\xBC\xD0\xB8\xD1\x80\xC2\xBB "
            "\xE2\x80\x9C\xE4\xB8\xAD\xE2\x80\x9D \xF0\x9F\x93\x9A \xEF\xBD\x81 \xE0\xA4\x85 \xED\x95\x9C</p>",
            "<p></p>"));
    add(row("tabs, DEL and controls of the C1 set", "<p>\ta\x7F\xC2\x80\xC2\x9F</p>", "<p></p>"));
    add(row("markup in the body", "<body><section><title><p>T</p></title><p>a <emphasis>b</emphasis> "
                                  "<a l:href=\"#n1\" type=\"note\">[1]</a> c<empty-line/></p></section></body>",
            "<body><section><title><p></p></title><p><emphasis></emphasis><a l:href=\"#n1\" type=\"note\">]</a>"
            "<empty-line/></p></section></body>"));
    add(row("a '>' in an attribute value and in text", "<p a=\"x>y\" b='>'>a > b</p>", "<p a=\"x>y\" b='>'></p>"));
    add(row("comments, processing instructions and CDATA go on whole",
            "<p>a<!-- c -->b<?pi x?>c<![CDATA[d]]>e</p>", "<p><!-- c --><?pi x?><![CDATA[d]]></p>"));
    add(row("the rest of the description", "<description><document-info><id>1</id></document-info></description>",
            "<description><document-info><id></id></document-info></description>"));

    // what a parser must see beside what it judges
    add(row("references, with the byte that ends each name", "<p>a &amp; b &#x41; &#65;c &x y & z &a&b;</p>",
            "<p>&amp;&#x41;&#65;&x & &a&b;</p>"));
    add(row("a bracket and the byte after it", "<p>a]]>b ]x] ]>c]]]></p>", "<p>]]>]x] ]>]]]></p>"));
    add(row("bytes that are no proven character, with the rest of their sequence",
            "<p>a\x01z \xC3(z \xE2\x28\xA1z \xEF\xBF\xBEz \xED\xA0\x80z \xC0\xAFz \xF8z \xBFz</p>",
            "<p>\x01\xC3(\xE2\x28\xA1\xEF\xBF\xBE\xED\xA0\x80\xC0\xAF\xF8\xBF</p>"));
    add(row("a character cut at the end of the document", "<p>ab\xD0", "<p>\xD0"));

    // what some query can reach goes on as it is
    const std::string kept = "<title-info>\n <genre>sf</genre> <author><first-name> A<!-- x -->b </first-name>"
                             "<middle-name>M</middle-name></author><book-title>War &amp; Peace</book-title>"
                             "<sequence name=\"S\">s</sequence></title-info>";
    add({"inside what the queries select", decl + "<FictionBook><description>" + kept + "</description></FictionBook>",
         decl + "<FictionBook><description><title-info>\n<genre>sf</genre><author><first-name> A<!-- x -->b "
                "</first-name><middle-name></middle-name></author><book-title>War &amp; Peace</book-title>"
                "<sequence name=\"S\">s</sequence></title-info></description></FictionBook>"});
    add({"names as written", decl + "<FictionBook><Description><title-info><book-title>a</book-title></title-info>"
                                    "</Description><description><title-info><book-titles>b</book-titles>"
                                    "<book-title/><book-title>c</book-title></title-info></description></FictionBook>",
         decl + "<FictionBook><Description><title-info><book-title></book-title></title-info></Description>"
                "<description><title-info><book-titles></book-titles><book-title/><book-title>c</book-title>"
                "</title-info></description></FictionBook>"});
    add({"another root", decl + "<book><description><title-info><book-title>a</book-title></title-info>"
                                "</description></book>",
         decl + "<book><description><title-info><book-title></book-title></title-info></description></book>"});
    add({"a prefixed root", decl + "<fb:FictionBook><description><title-info><book-title>a</book-title>"
                                   "</title-info></description></fb:FictionBook>",
         decl + "<fb:FictionBook><description><title-info><book-title></book-title></title-info></description>"
                "</fb:FictionBook>"});
    add({"a document type without declarations", book("<p>x</p>", decl + "<!DOCTYPE FictionBook SYSTEM 'fb2.dtd' [ <!-- c --> ]>"),
         book("<p></p>", decl + "<!DOCTYPE FictionBook SYSTEM 'fb2.dtd' [ <!-- c --> ]>")});
    add({"a document cut in text", decl + "<FictionBook><body><p>abc", decl + "<FictionBook><body><p>"});

    // single-byte encodings: the bytes the code page defines as letters and signs
    add({"windows-1251", book("<p>\xCC\xE8\xF0 \x97 \xAB\xBB</p>", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"),
         book("<p></p>", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>")});
    add({"a byte windows-1251 leaves undefined", book("<p>a\x98z</p>", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"),
         book("<p>\x98</p>", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>")});
    add({"koi8-r", book("<p>\xED\xC9\xD2</p>", "<?xml version='1.0' encoding='koi8-r'?>"),
         book("<p></p>", "<?xml version='1.0' encoding='koi8-r'?>")});
    add({"ISO-8859-1 without its C1 controls", book("<p>caf\xE9\x85</p>", "<?xml version='1.0' encoding='ISO-8859-1'?>"),
         book("<p>\x85</p>", "<?xml version='1.0' encoding='ISO-8859-1'?>")});
    // a seven-bit encoding: the first byte above ASCII ends filtering, wherever it is
    add({"US-ASCII", decl.substr(0, 30) + "US-ASCII\"?>\n" + head + "<p>a</p><p>b\xBC</p><p>c</p></FictionBook>",
         decl.substr(0, 30) + "US-ASCII\"?>\n" + head + "<p></p><p>\xBC</p><p>c</p></FictionBook>"});
    return rows;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> all = make_rows();
    return all;
}

// the documents unchanged, at once and in pieces of each small size
void expect_unchanged(const std::vector<std::string> &docs) {
    for (const std::string &doc : docs) {
        SCOPED_TRACE(show(doc.substr(0, 120)));
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{17}})
            EXPECT_EQ(show(filtered(doc, piece)), show(doc)) << "pieces of " << piece;
    }
}

std::string utf16(std::string_view ascii, bool big_endian, bool bom) {
    std::string out;
    if (bom) out += big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : ascii) {
        out += big_endian ? '\0' : c;
        out += big_endian ? c : '\0';
    }
    return out;
}

} // namespace

TEST(reach_filter, rows_whole_and_in_pieces) {
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.label);
        ASSERT_EQ(filter_checks::broken(r.doc, r.out), "") << "the row itself";
        for (const size_t piece : {0, 1, 2, 3, 4, 5, 7, 13, 16, 17, 31, 64, 1021}) {
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            EXPECT_EQ(show(filtered(r.doc, piece)), show(r.out));
        }
    }
}

TEST(reach_filter, any_cut_gives_the_same_bytes) {
    std::mt19937 rng(13);
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.label);
        for (int round = 0; round < 40; ++round) {
            std::vector<size_t> cuts(1 + rng() % 8);
            for (size_t &c : cuts) c = 1 + rng() % (round < 20 ? 9 : 200);
            EXPECT_EQ(show(filtered(r.doc, cuts)), show(r.out));
        }
    }
}

// the filter's output at each vector width, exact and judging
std::string at_width(std::string_view doc, filter::simd::Level level, bool judge, size_t piece = 0) {
    filter::Rules how = judge ? filter_checks::judging(level) : filter_checks::rules();
    how.widest = level;
    return filter_checks::run_filter(doc, {piece}, how).out;
}

constexpr filter::simd::Level widths[] = {filter::simd::Level::bytes, filter::simd::Level::sse2, filter::simd::Level::avx2};

TEST(reach_filter, every_byte_at_every_place_of_two_blocks) {
    // runs are judged sixteen or thirty-two bytes at a time: each byte, alone and as the lead of a
    // two- and a three-byte sequence, at each place of two such blocks, must come out at every width
    // as the byte loop has it, exact and judging
    if (filter::simd::best() != filter::simd::Level::avx2) std::printf("[ note     ] this processor has no AVX2\n");
    const std::string lead2 = "\xD0\x96", lead3 = "\xE2\x80\x94";
    for (int c = 0; c < 256; ++c) {
        for (const std::string &after : {""s, "\x80"s, "\x80\x80"s}) {
            for (size_t at = 0; at < 72; ++at) {
                std::string line;
                for (int k = 0; line.size() < 80; ++k) line += k % 5 == 1 ? lead2 : k % 5 == 3 ? lead3 : k % 7 == 6 ? "\n" : "Q";
                line.insert(at, static_cast<char>(c) + after);
                const std::string doc = book("<p>" + line + "</p>");
                for (const bool judge : {false, true}) {
                    const std::string bytes = at_width(doc, filter::simd::Level::bytes, judge);
                    for (const auto level : {filter::simd::Level::sse2, filter::simd::Level::avx2}) {
                        const std::string got = at_width(doc, level, judge);
                        if (got != bytes || (!judge && !filter_checks::broken(doc, got).empty())) {
                            ADD_FAILURE() << "byte " << c << " + " << after.size() << " at " << at << (judge ? ", judging" : "")
                                          << ", width " << static_cast<int>(level) << ": " << show(got) << " against "
                                          << show(bytes);
                            return;
                        }
                    }
                }
            }
        }
    }
}

TEST(reach_filter, no_reach_filters_nothing) {
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.label);
        EXPECT_EQ(show(filtered(r.doc, {0}, nullptr)), show(r.doc));
    }
    EXPECT_FALSE(filter::ReachFilter(filter_checks::rules(nullptr)).active());
}

TEST(reach_filter, only_in_encodings_it_knows) {
    const struct {
        const char *encoding;
        bool filtered;
    } encodings[] = {
        {"UTF-8", true},        {"utf-8", true},        {"US-ASCII", true},     {"us-ascii", true},
        {"ISO-8859-1", true},   {"iso-8859-5", true},   {"ISO-8859-15", true},  {"windows-1250", true},
        {"WINDOWS-1251", true}, {"Windows-1252", true}, {"windows-1258", true}, {"koi8-r", true},
        {"KOI8-U", true},       {"cp866", true},        {"IBM866", true},       {"UTF-16", false},
        {"utf-16le", false},    {"UTF-32", false},      {"Shift_JIS", false},   {"GBK", false},
        {"Big5", false},        {"EUC-JP", false},      {"ISO-2022-JP", false}, {"IBM037", false},
        {"ISO-8859-12", false}, {"ISO-8859-17", false}, {"ISO-8859-01", false}, {"ISO-8859-", false},
        {"windows-1259", false}, {"windows-125", false}, {"windows-874", false}, {"utf8", false},
        {"UTF-7", false},       {"ascii", false},       {"", false},            {"x-no-such", false},
        {"koi8", false},
    };
    std::vector<std::string> off;
    for (const auto &e : encodings) {
        SCOPED_TRACE(e.encoding);
        const std::string prolog = "<?xml version=\"1.0\" encoding=\""s + e.encoding + "\"?>";
        if (e.filtered) EXPECT_EQ(show(filtered(book("<p>text</p>", prolog))), show(book("<p></p>", prolog)));
        else off.push_back(book("<p>text</p>", prolog));
    }
    expect_unchanged(off);
    // as the BOM says, or UTF-8 when nothing does
    for (const std::string &prolog : {""s, "\xEF\xBB\xBF"s, "\xEF\xBB\xBF" + decl, "<?xml version='1.0'?>"s,
                                     "<?xml version = '1.0'  encoding = 'koi8-r' standalone='yes' ?>\n"s, "\n \t\r\n"s}) {
        SCOPED_TRACE(show(prolog));
        EXPECT_EQ(show(filtered(book("<p>text</p>", prolog))), show(book("<p></p>", prolog)));
    }
}

TEST(reach_filter, never_in_utf16) {
    const std::string doc = book("<p>text</p>");
    expect_unchanged({
        utf16(doc, false, true),
        utf16(doc, true, true),
        utf16(doc, false, false),
        utf16(doc, true, false),
        "\xFF\xFE\0\0"s + doc, // UTF-32LE's BOM starts as UTF-16LE's
        "\0\0\xFE\xFF"s + doc,
    });
}

TEST(reach_filter, what_it_does_not_follow_turns_it_off) {
    const std::string body = "<p>text</p>";
    expect_unchanged({
        // before the root
        "x" + book(body),
        " " + book(body), // a declaration after white space
        decl + "x" + book(body, ""),
        decl + decl + book(body, ""),
        book(body, "<?xml version=\"1.0\" encoding=windows-1251?>"),
        book(body, "<?xml?>"),
        book(body, "<?xml encoding=\"UTF-8\"?>").replace(0, 5, "<?XML"),
        book(body, "<?xml version=\"1.0\" lang=\"en\"?>"),
        book(body, "<?xml version=\"1.0\"encoding=\"UTF-8\"?>"),
        book(body, "<?xml version=\"1.0\"" + std::string(300, ' ') + "?>"), // longer than any declaration
        book(body, "<?xml version=\"1.0\"" + std::string(300, '?') + "?>"),
        book(body, decl + "<![CDATA[x]]>"),
        // declarations make entities, whose expansion Expat weighs against the bytes it is given, and
        // the platform object may validate against them
        book(body, decl + "<!DOCTYPE a [ <!ENTITY e \"text\"> ]>"),
        book(body, decl + "<!DOCTYPE a [ <!ELEMENT p ANY> ]>"),
        book(body, decl + "<!DOCTYPE a [ <!ATTLIST p id CDATA 'x'> ]>"),
        book(body, decl + "<!DOCTYPE a [ %pe; ]>"),
        book(body, decl + "<!DOCTYPE a [ <![IGNORE[ x ]]> ]>"),
        book(body, decl + "<!DOCTYPE a ] >"),
        book(body, decl + "<!DOCTYPE a [ ] x>"),
        book(body, decl + "<!DOCTYPEa>"),
        book(body, decl + "<!DOCTYPE a><!DOCTYPE a>"),
        book(body, decl + "<!ELEMENT a ANY>"),
        book(body, decl + "<!- x -->"),
        book(body, decl + "<? x?>"),
        book(body, decl + "<?1x?>"),
        book(body, decl + "<?xml-stylesheet?><?XmL x?>"),
        book(body, "\xEF\xBB<?xml version=\"1.0\"?>"),
        decl + "<1>" + body + "</1>",
        decl + "< a>" + body + "</a>",
        decl + "<a/><b>" + body + "</b>",
        decl + "</a>" + body,
    });
    // inside the root: what was left out before stays out, the rest goes on as it is
    for (const std::string &bad : {"<p a=\"1\"<b>"s, "<p/ >"s, "<p=>"s, "<!-- a -- b -->"s, "<![CDATA ]]>"s,
                                  "<!DOCTYPE a>"s, "<!x>"s, "</a <b>"s, "<?xml version=\"1.0\"?>"s, "<a=b>"s,
                                  "<n\"\">"s, "<a\x01>"s}) {
        SCOPED_TRACE(bad);
        const std::string doc = book("<p>left out</p>" + bad + "<p>kept</p>");
        EXPECT_EQ(show(filtered(doc)), show(book("<p></p>" + bad + "<p>kept</p>")));
    }
}

// a declaration is kept only up to its bound, however it is spelt: one of question marks ends filtering
TEST(reach_filter, a_declaration_past_its_bound_turns_it_off) {
    for (const char fill : {' ', '?', 'x'}) {
        SCOPED_TRACE(std::string(1, fill));
        filter::ReachFilter f(filter_checks::rules());
        // the filter's room, the piece, and guard bytes after it
        const std::string piece = "<?xml version=\"1.0\"" + std::string(1u << 20, fill);
        std::string buf = std::string(filter::ReachFilter::max_held, ' ') + piece + std::string(16, '\x5A');
        f.filter(buf.data() + filter::ReachFilter::max_held, piece.size(), false);
        EXPECT_FALSE(f.active());
        EXPECT_EQ(buf.substr(buf.size() - 16), std::string(16, '\x5A'));
    }
}

TEST(reach_filter, a_document_cut_anywhere_is_cut_the_same) {
    const std::string doc = book("<p>a &amp; b]]<b>c</b>\xD0\x96\r\nd</p><binary>QUJD\r\nQUJD</binary>");
    for (size_t cut = 0; cut <= doc.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::string prefix = doc.substr(0, cut);
        const std::string out = filtered(prefix, 0);
        EXPECT_EQ(filter_checks::broken(prefix, out), "");
        EXPECT_EQ(show(filtered(prefix, 1)), show(out));
    }
}

// What the judging filter gives the parser: the prolog, the root's tags, the path to what a query
// reaches and that, and what it cannot prove; at every width and however the document is cut.
TEST(reach_filter, judging_leaves_out_the_markup_it_proves) {
    const std::string d = "<FictionBook><description><title-info><book-title>T</book-title></title-info></description>";
    const std::string kept = decl + d;
    const std::string deep = [] {
        std::string s;
        for (int i = 0; i < 130; ++i) s += "<d>";
        for (int i = 0; i < 130; ++i) s += "</d>";
        return s;
    }();
    const struct {
        const char *label;
        std::string body;     // after the description
        std::string out_body; // what the parser gets of it
        filter::Outcome outcome;
    } rows[] = {
        {"tags and text", "<body>\n<section><p>Some <emphasis>text</emphasis>.</p><empty-line/><p/></section>\n</body>", "",
         filter::Outcome::going},
        {"white space in tags", "<body ><p\t>a</p\r\n><br /></body >", "", filter::Outcome::going},
        {"a tag with an attribute goes on with its end tag", "<body><p id=\"x\"><b>a</b></p></body>", "<p id=\"x\"></p>",
         filter::Outcome::going},
        {"a prefixed name", "<body><x:p>a</x:p></body>", "<x:p></x:p>", filter::Outcome::going},
        {"a name above ASCII", "<body><\xD0\xBF>a</\xD0\xBF></body>", "<\xD0\xBF></\xD0\xBF>", filter::Outcome::going},
        {"a long name", "<body><" + std::string(300, 'n') + ">a</" + std::string(300, 'n') + "></body>",
         "<" + std::string(300, 'n') + "></" + std::string(300, 'n') + ">", filter::Outcome::going},
        {"references and brackets", "<p>a &amp; b]]c</p>", "&amp;]]c", filter::Outcome::going},
        {"comments and instructions", "<p><!-- c --><?pi x?></p>", "<!-- c --><?pi x?>", filter::Outcome::going},
        // a tag between what the parser must not see joined stays: a ']' and "]>", a lead byte and the
        // bytes after the tag, a reference's name and what follows
        // (a run of ']' that a '<' ends is no "]]>": left out, it joins nothing)
        {"a ']' before a tag, and \"]>\" after it", "<p>a]<b/>]>c</p>", "]>", filter::Outcome::going},
        {"']]' before a tag, and '>' after it", "<p>a]]<b/>>c</p>", "", filter::Outcome::going},
        {"a lead byte before a tag", "<p>\xE4<b/>\x80\x80</p>", "\xE4<b/>\x80\x80", filter::Outcome::going},
        {"a reference's name before a tag", "<p>&amp<b/>;</p>", "&amp<b/>", filter::Outcome::going},
        {"an end tag left out after a ']'", "<i>a]</i>]>", "]>", filter::Outcome::going},
        {"a ']' after a reference's name, before a tag", "<p>&amp]<b/>;</p>", "&amp]<b/>", filter::Outcome::going},
        {"a mismatched end tag", "<body><p>a</b></body>", "", filter::Outcome::fault},
        {"an end tag after the root", "</FictionBook></x>", "", filter::Outcome::fault},
        {"'<' where no tag starts", "<p>a < b</p>", "", filter::Outcome::fault},
        {"nested too deep to judge", deep, "", filter::Outcome::gave_up},
        {"a name reserved for XML's own", "<body><xmlfoo>a</xmlfoo><XMLbar/></body>", "<xmlfoo></xmlfoo><XMLbar/>",
         filter::Outcome::going},
        // a tag that goes on inside elements left out, right under the root: the parser would take it for
        // the root's child, and one named as a query's step there would be taken for what it selects
        {"a tag that goes on, named otherwise", "<body><p><a id=\"1\">x</a></p></body>", "<a id=\"1\"></a>",
         filter::Outcome::going},
        {"a tag that goes on, named as a query's step", "<body><p><description id=\"1\"/></p></body>", "",
         filter::Outcome::gave_up},
        {"a slash before white space, after a tag left out", "<p>a</p><br/ >", "", filter::Outcome::gave_up},
    };
    // in US-ASCII the first byte above it turns the filter off: after a tag left out, the rest cannot go
    // on as it is
    const std::string ascii = "<?xml version=\"1.0\" encoding=\"US-ASCII\"?>\n" + d;
    for (const size_t piece : {size_t{0}, size_t{5}}) {
        EXPECT_EQ(filter_checks::run_filter(ascii + "<body><p>a\xE9</p></body></FictionBook>", {piece}, filter_checks::judging()).outcome,
                  filter::Outcome::gave_up);
        EXPECT_EQ(filter_checks::run_filter(ascii + "\xE9<body><p>a</p></body></FictionBook>", {piece}, filter_checks::judging()).outcome,
                  filter::Outcome::going);
    }
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const std::string doc = kept + row.body + (row.body.find("</FictionBook>") == std::string::npos ? "</FictionBook>\n" : "");
        const std::string want = kept + row.out_body + "</FictionBook>";
        for (const auto level : widths) {
            for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{33}}) {
                SCOPED_TRACE("width " + std::to_string(static_cast<int>(level)) + ", pieces of " + std::to_string(piece));
                const auto got = filter_checks::run_filter(doc, {piece}, filter_checks::judging(level));
                EXPECT_EQ(static_cast<int>(got.outcome), static_cast<int>(row.outcome));
                if (row.outcome == filter::Outcome::going) {
                    EXPECT_EQ(show(got.out), show(want + "\n"));
                }
            }
        }
    }
}

#ifndef _WIN32
namespace {

// what Expat makes of a document: "well-formed", or its fault and where; for what the filter gave,
// with the column found again in the document
std::string expat_verdict(std::string_view doc, std::string_view original = {}) {
    XML_Parser p = XML_ParserCreate(nullptr);
    const XML_Status status = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE);
    std::string verdict = "well-formed";
    if (status != XML_STATUS_OK) {
        auto column = static_cast<int64_t>(XML_GetCurrentColumnNumber(p));
        if (!original.empty()) {
            const filter::Rules rules = filter_checks::rules();
            const int64_t shift = filter::column_shift(rules, filter_checks::reader(original),
                                                       static_cast<uint64_t>(XML_GetCurrentByteIndex(p)));
            // the same found from the line and column, as the Windows object gives them
            EXPECT_EQ(filter::column_shift(rules, filter_checks::reader(original),
                                           XML_GetCurrentLineNumber(p), static_cast<uint64_t>(column) + 1),
                      shift)
                << "at line " << XML_GetCurrentLineNumber(p) << ", column " << column + 1;
            column += shift;
        }
        verdict = std::string(XML_ErrorString(XML_GetErrorCode(p))) + " at line " +
                  std::to_string(XML_GetCurrentLineNumber(p)) + ", column " + std::to_string(column);
    }
    XML_ParserFree(p);
    return verdict;
}

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(reach_filter, the_parser_finds_the_same_faults_where_it_found_them) {
    std::vector<std::pair<std::string, std::string>> docs;
    for (const Row &r : rows()) docs.emplace_back(r.label, r.doc);
    // a fault right after text left out on its line, inside a one-line image, at the end of a cut book
    for (const std::string &bad : {"&"s, "<"s, "]]>"s, "\x01"s, "\xC3"s, "\xFF"s, "&#0;"s, "&x;"s, "</x>"s, "\xE2\x80"s})
        for (const std::string &before : {"text "s, "\xD0\x96\xD0\x96 "s, std::string(5000, 'Q'), "a\r"s, "a\rb"s}) {
            docs.emplace_back("a fault after " + show(before.substr(0, 8)) + ": " + show(bad),
                              book("<p>" + before + bad + " after</p>"));
            docs.emplace_back("a fault in an image after " + show(before.substr(0, 8)) + ": " + show(bad),
                              book("<binary>" + before + bad + b64 + "</binary>"));
        }
    for (const std::string &end : {"\r"s, "\n"s, "\r\n"s, "\n\r"s, ""s, " "s, "a\rb"s, "&\xED/#"s, "&\xF0\x9F/ab"s,
                                   "&\xE2(xy"s, "\xC0#"s, "\xC1##"s, "\xF6zz"s, "\xF5z"s})
        docs.emplace_back("cut in text after " + show(end), decl + "<FictionBook><body><p>text" + end);
    // a fault at the start of what is left of a line, after a CRLF
    docs.emplace_back("a fault after text that opens a CRLF line", book("<p>a\r\nbcd\x01</p>"));
    int changed = 0;
    for (const auto &[label, doc] : docs) {
        SCOPED_TRACE(label);
        for (const size_t piece : {size_t{0}, size_t{3}}) {
            const std::string out = filtered(doc, piece);
            EXPECT_EQ(expat_verdict(out, doc), expat_verdict(doc));
            changed += out != doc;
        }
    }
    EXPECT_GT(changed, 0);
}

// A lead byte right before the '>' that ends markup announces bytes past it, which the parser takes
// with it before it judges it: they must reach the parser though they are text to be left out, or a
// book cut short there fails otherwise ("partial character" for "invalid token").
TEST(reach_filter, a_lead_byte_before_markup_ends_keeps_what_it_announces) {
    const struct {
        const char *label;
        std::string markup; // @ stands for the lead byte
    } kinds[] = {
        {"a start tag's name", "<p@>"},
        {"a start tag's name, a byte before", "<p@a>"},
        {"an end tag", "<p>x</p@>"},
        {"an empty-element tag", "<e@/>"},
        {"an attribute value", "<p a=\"@\">"},
        {"a processing instruction", "<?pi @?>"},
        {"the root's own tag", ""},
    };
    int cases = 0;
    for (const auto &kind : kinds) {
        for (const char lead : {'\xC3', '\xE4', '\xF0', '\xF5'}) {
            std::string markup = kind.markup, root = "<FictionBook>";
            if (markup.empty()) root.insert(root.size() - 1, "@");
            const auto place = [lead](std::string &s) {
                if (const size_t at = s.find('@'); at != std::string::npos) s[at] = lead;
            };
            place(markup);
            place(root);
            for (const std::string &end : {"Some text"s, "Some text</p></body></FictionBook>\n"s, "S"s, ""s}) {
                const std::string doc = decl + root + "<body>" + markup + end;
                SCOPED_TRACE(std::string(kind.label) + ": " + show(doc.substr(decl.size())));
                const std::string want = expat_verdict(doc);
                EXPECT_EQ(expat_verdict(filtered(doc, 0), doc), want) << "at once";
                for (size_t cut = 1; cut < doc.size(); ++cut)
                    ASSERT_EQ(expat_verdict(filtered(doc, {cut, 0}), doc), want) << "cut at " << cut;
                ++cases;
            }
        }
    }
    EXPECT_EQ(cases, 7 * 4 * 4);
}

// Markup faults in the body, each alone, in UTF-8 and in a single-byte code page, the book cut at
// every place into two pieces: the judging filter finds the fault itself, or gives the parser a
// document it finds at fault too (or gives up, and the book is read the exact way); the exact filter
// gives the parser the fault at the same line and column.
TEST(reach_filter, markup_faults_fail_judged_and_exact) {
    const struct {
        const char *label;
        std::string body;
    } faults[] = {
        {"a mismatched end tag", "<p>a</b>"},
        {"an element left open", "<p><b>a</p>"},
        {"a stray end tag", "<p>a</p></p>"},
        {"'<' in text", "<p>a < b</p>"},
        {"a name that starts with a digit", "<p><1b>a</1b></p>"},
        {"a byte no name holds", "<p><b$>a</b$></p>"},
        {"a control character in a name", "<p><b\x01>a</b\x01></p>"},
        {"the same attribute twice", "<p a=\"1\" a=\"2\">a</p>"},
        {"'<' in an attribute value", "<p a=\"<\">a</p>"},
        {"a slash and white space before '>'", "<p>a<br/ ></p>"},
        {"white space before an end tag's name", "<p>a</ p>"},
        {"the end of the book inside the root", "<p>a"},
    };
    const std::string cyrillic = "\xCF\xF0\xE8\xE2\xE5\xF2"; // windows-1251
    int judged = 0;
    for (const auto &f : faults) {
        for (const bool single_byte : {false, true}) {
            const std::string prolog = single_byte ? "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n" : decl;
            const std::string text = single_byte ? cyrillic : "\xD0\x9F\xD1\x80\xD0\xB8";
            std::string body = "<body><section><p>" + text + "</p>" + f.body;
            const bool cut_short = f.body == "<p>a";
            const std::string doc = prolog + head + body + (cut_short ? "" : "</section></body></FictionBook>\n");
            SCOPED_TRACE(std::string(f.label) + (single_byte ? ", windows-1251" : ", UTF-8"));
            const std::string want = expat_verdict(doc);
            ASSERT_NE(want, "well-formed");
            for (size_t cut = 0; cut < doc.size(); ++cut) {
                const std::vector<size_t> cuts = {cut, 0};
                ASSERT_EQ(expat_verdict(filter_checks::run_filter(doc, cuts, filter_checks::rules()).out, doc), want)
                    << "the exact filter, cut at " << cut;
                const auto j = filter_checks::run_filter(doc, cuts, filter_checks::judging());
                if (j.outcome == filter::Outcome::going) {
                    ASSERT_NE(expat_verdict(j.out), "well-formed") << "judging, cut at " << cut;
                    ++judged;
                }
            }
        }
    }
    EXPECT_GT(judged, 0);
}

TEST(reach_filter, corpus_books_read_the_same_with_less) {
    const fs::path dir = support::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no real-book corpus beside the checkout (../shared/corpus/real)";
    size_t in_bytes = 0, out_bytes = 0, judged_bytes = 0;
    int books = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".fb2") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::string doc = slurp(entry.path());
        const std::string out = filtered(doc, 0);
        EXPECT_EQ(filter_checks::broken(doc, out), "");
        EXPECT_EQ(expat_verdict(out, doc), expat_verdict(doc));
        for (const size_t piece : {size_t{7}, size_t{1021}}) EXPECT_TRUE(filtered(doc, piece) == out) << piece;
        // judging: the parser finds the book well-formed exactly when it is, at every width
        const auto judged = filter_checks::run_filter(doc, {0}, filter_checks::judging());
        if (judged.outcome == filter::Outcome::going) {
            EXPECT_EQ(expat_verdict(judged.out) == "well-formed", expat_verdict(doc) == "well-formed");
        } else if (judged.outcome == filter::Outcome::fault) {
            EXPECT_NE(expat_verdict(doc), "well-formed") << "a fault in a book Expat reads";
        }
        for (const auto level : widths) EXPECT_TRUE(at_width(doc, level, true) == judged.out) << static_cast<int>(level);
        if (judged.outcome == filter::Outcome::going) judged_bytes += judged.out.size();
        in_bytes += doc.size();
        out_bytes += out.size();
        ++books;
    }
    std::printf("[ corpus   ] %d books, %zu bytes in, %zu to the parser, %zu judging (where it judged)\n", books, in_bytes, out_bytes,
                judged_bytes);
    EXPECT_LT(out_bytes * 5, in_bytes);
    EXPECT_LT(judged_bytes * 20, in_bytes);
}
#endif
