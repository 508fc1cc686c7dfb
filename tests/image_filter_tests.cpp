// The image filter on its own: what it turns each document into, byte for byte, fed at once and in
// pieces of every small size; where its lexer must not see an image; the encodings it works in; and
// that whatever it does not follow passes unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "image_filter.h"
#include "image_filter_checks.h"
#include "support.h"

#ifndef _WIN32
#include <expat.h>
#endif

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
using filter_checks::filtered;
using xmldoc::ImageFilter;

constexpr size_t max_held = ImageFilter::max_held;

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

std::string book(const std::string &body, const std::string &prolog = decl) {
    return prolog + "<FictionBook>\n" + body + "\n</FictionBook>\n";
}

struct Row {
    std::string label;
    std::string doc;
    std::string out; // what the parser is given
};

Row row(std::string label, const std::string &body, const std::string &out_body) {
    return {std::move(label), book(body), book(out_body)};
}

// an image of two whole lines and a short last one, and what it comes out as
const std::string image = "<binary id=\"c.jpg\" content-type=\"image/jpeg\">\n/9j/4AAQ\nSkZJ+gAB\nAQ==</binary>";
const std::string image_out = "<binary id=\"c.jpg\" content-type=\"image/jpeg\">\n\n\n    </binary>";

std::vector<Row> make_rows() {
    std::vector<Row> rows;
    const auto add = [&rows](Row r) { rows.push_back(std::move(r)); };

    // lines of a run
    add(row("an image", image, image_out));
    add(row("the first line starts right after the tag", "<binary>QUJD\nREVG\n</binary>", "<binary>\n\n</binary>"));
    add(row("CRLF line ends", "<binary>\r\nQUJD\r\nREVG\r\nR0g=</binary>", "<binary>\r\n\r\n\r\n    </binary>"));
    add(row("CR line ends", "<binary>\rQUJD\rREVG\rR0g=</binary>", "<binary>\r\r\r    </binary>"));
    // dropped whole, a line between a CR and an LF would join them into one line break
    add(row("a line between a CR and an LF", "<binary>\rQUJD\nREVG\r\nQUJD\r\r\nQQ\n\n</binary>",
            "<binary>\r \n\r\n\r\r\n\n\n</binary>"));
    add(row("spaces and tabs in lines", "<binary>\n  QUJD \t\n\t\n  R0g= </binary>", "<binary>\n\n\n       </binary>"));
    add(row("every letter of the alphabet",
            "<binary>ABCDEFGHIJKLMNOPQRSTUVWXYZ\nabcdefghijklmnopqrstuvwxyz\n0123456789+/=\n</binary>",
            "<binary>\n\n\n</binary>"));
    add(row("an empty image", "<binary></binary>", "<binary></binary>"));
    add(row("a run of one short line", "<binary>QQ==</binary>", "<binary>    </binary>"));
    add(row("a line break alone", "<binary>\n</binary>", "<binary>\n</binary>"));
    add({"the root itself", "<binary>QUJD\nQQ</binary>", "<binary>\n  </binary>"});
    add(row("attributes in either quotes and spaces", "<binary  id = 'a' content-type=\"b\" >QUJD\n</binary >",
            "<binary  id = 'a' content-type=\"b\" >\n</binary >"));
    add(row("several images", image + "\n" + image + "\n<binary>QUJD\n</binary>",
            image_out + "\n" + image_out + "\n<binary>\n</binary>"));
    add(row("one image inside another", "<binary><binary>QUJD\n</binary>QUJD\n</binary>",
            "<binary><binary>\n</binary>QUJD\n</binary>"));

    // where the lexer must not see a run
    add(row("in a comment", "<!-- <binary>QUJD\n --><binary>QUJD\n</binary>", "<!-- <binary>QUJD\n --><binary>\n</binary>"));
    add(row("a comment with dashes", "<!-- a-b - c --><binary>QUJD\n</binary>", "<!-- a-b - c --><binary>\n</binary>"));
    add(row("in a CDATA section", "<p><![CDATA[<binary>QUJD\n]] ]]]></p><binary>QUJD\n</binary>",
            "<p><![CDATA[<binary>QUJD\n]] ]]]></p><binary>\n</binary>"));
    add(row("in a processing instruction", "<?pi <binary>QUJD\n? ?><binary>QUJD\n</binary>",
            "<?pi <binary>QUJD\n? ?><binary>\n</binary>"));
    add(row("a '>' in an attribute value", "<binary id=\"a>QUJD&#10;\" b='>'>QUJD\n</binary>",
            "<binary id=\"a>QUJD&#10;\" b='>'>\n</binary>"));
    add(row("a start tag in an attribute value", "<p a='<binary>'>QUJD\n</p>", "<p a='<binary>'>QUJD\n</p>"));
    const std::string subset = decl + "<!DOCTYPE FictionBook [\n<!-- <binary>QUJD\n -->\n<?pi <binary>QUJD\n?>\n]>\n";
    add({"in the internal subset", book("<binary>QUJD\n</binary>", subset), book("<binary>\n</binary>", subset)});
    const std::string external = decl + "<!DOCTYPE FictionBook PUBLIC \"-//x//[>\" 'a]>.dtd' [ ]>\n";
    add({"a doctype with an external id and a subset", book("<binary>QUJD\n</binary>", external),
         book("<binary>\n</binary>", external)});
    add({"a doctype without a subset", book("<binary>QUJD\n</binary>", decl + "<!DOCTYPE FictionBook SYSTEM 'x'>"),
         book("<binary>\n</binary>", decl + "<!DOCTYPE FictionBook SYSTEM 'x'>")});
    add(row("binary as an attribute name", "<p binary=\"x\">QUJD\n</p>", "<p binary=\"x\">QUJD\n</p>"));
    add(row("a longer name", "<binaryX>QUJD\n</binaryX>", "<binaryX>QUJD\n</binaryX>"));
    add(row("a shorter name", "<binar>QUJD\n</binar>", "<binar>QUJD\n</binar>"));
    add(row("another case", "<Binary>QUJD\n</Binary>", "<Binary>QUJD\n</Binary>"));
    add(row("an empty element", "<binary/>QUJD\n<binary />QUJD\n", "<binary/>QUJD\n<binary />QUJD\n"));
    add(row("a prefixed name", "<x:binary>QUJD\n</x:binary>", "<x:binary>QUJD\n</x:binary>"));
    add(row("after an end tag", "<binary>QUJD\n</binary>QUJD\n", "<binary>\n</binary>QUJD\n"));
    add(row("an element inside", "<binary>QUJD\n<b>QUJD\n</b>QUJD\n</binary>", "<binary>\n<b>QUJD\n</b>QUJD\n</binary>"));
    add(row("a comment inside", "<binary>QUJD\nQU<!-- -->JD\n</binary>", "<binary>\n  <!-- -->JD\n</binary>"));
    add(row("after text", "<p>Some text</p>text<binary>QUJD\n</binary>", "<p>Some text</p>text<binary>\n</binary>"));
    add(row("after an entity reference", "&amp;&#65;<binary>QUJD\n</binary>", "&amp;&#65;<binary>\n</binary>"));

    // a byte outside the alphabet ends the run: it and all after it go on as they are
    const struct {
        const char *label;
        std::string bytes;
    } bad[] = {{"'&'", "&amp;"}, {"'<'", "<b/>"}, {"']]>'", "]]>"}, {"a byte above 0x7F", "\xC3\xA9"},
               {"a control character", "\x01"}, {"a NUL", "\0"s}, {"a quote", "\""}, {"a '-'", "-"}};
    for (const auto &b : bad) {
        add(row("at the start of a run: "s + b.label, "<binary>" + b.bytes + "QUJD\n</binary>",
                "<binary>" + b.bytes + "QUJD\n</binary>"));
        add(row("in the middle of a run: "s + b.label, "<binary>QUJD\nQU" + b.bytes + "JD\nQUJD\n</binary>",
                "<binary>\n  " + b.bytes + "JD\nQUJD\n</binary>"));
        add(row("at the end of a run: "s + b.label, "<binary>QUJD\nQUJD" + b.bytes + "\n</binary>",
                "<binary>\n    " + b.bytes + "\n</binary>"));
    }

    // lines longer than what is held back (with the CR that may end them) go through as spaces, all of them
    const std::string a(max_held - 1, 'A'), b(max_held, 'B'), c(3 * max_held + 5, 'C');
    add(row("lines longer than max_held", "<binary>\n" + a + "\r" + b + "\r\n" + c + "\n" + c + "</binary>",
            "<binary>\n\r" + std::string(b.size(), ' ') + "\r\n" + std::string(c.size(), ' ') + "\n" +
                std::string(c.size(), ' ') + "</binary>"));
    add(row("a long line ended by another byte", "<binary>" + c + "&amp;QUJD\n</binary>",
            "<binary>" + std::string(c.size(), ' ') + "&amp;QUJD\n</binary>"));

    // the document ends inside a run: what is held goes on as spaces
    add({"the end inside a run", decl + "<a><binary>QUJD\nQUJ", decl + "<a><binary>\n   "});
    add({"the end after a line break", decl + "<a><binary>QUJD\n", decl + "<a><binary>\n"});
    // a parser tells where a document ends from before a last CR, so that line keeps its columns
    add({"the end right after a CR", decl + "<a><binary>QUJD\rQU\r", decl + "<a><binary>\r  \r"});
    add({"the end right after CRLF", decl + "<a><binary>QUJD\rQU\r\n", decl + "<a><binary>\r\r\n"});
    add({"the end right after the tag", decl + "<a><binary>", decl + "<a><binary>"});
    return rows;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> all = make_rows();
    return all;
}

// every row's output checked exactly, at once, in pieces of each small size and at odd sizes
void expect_rows(const std::vector<Row> &table, std::string_view element = "binary") {
    for (const Row &r : table) {
        SCOPED_TRACE(r.label);
        ASSERT_EQ(filter_checks::broken(r.doc, r.out), "") << "the row itself";
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{7},
                                   size_t{13}, size_t{64}, size_t{1021}, max_held + 3}) {
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            const std::string out = filtered(r.doc, element, piece);
            EXPECT_EQ(show(out), show(r.out));
            EXPECT_EQ(filter_checks::broken(r.doc, out), "");
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), std::count(r.doc.begin(), r.doc.end(), '\n'));
            EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), std::count(r.doc.begin(), r.doc.end(), '\r'));
        }
        for (const size_t piece : {size_t{0}, size_t{3}}) {
            SCOPED_TRACE("the end told apart, pieces of " + std::to_string(piece));
            EXPECT_EQ(show(filtered(r.doc, element, piece, true)), show(r.out));
        }
    }
}

// the rows' documents passed unchanged
void expect_unchanged(const std::vector<std::string> &docs, std::string_view element = "binary") {
    for (const std::string &doc : docs) {
        SCOPED_TRACE(show(doc.substr(0, 120)));
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{17}}) {
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            EXPECT_EQ(show(filtered(doc, element, piece)), show(doc));
        }
    }
}

// a document with one image, filtered or not
std::string with_image(const std::string &prolog) { return prolog + "<a><binary>QUJD\nQQ==\n</binary></a>"; }
std::string with_image_out(const std::string &prolog) { return prolog + "<a><binary>\n\n</binary></a>"; }

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

TEST(image_filter, rows_whole_and_in_pieces) { expect_rows(rows()); }

TEST(image_filter, any_cut_gives_the_same_bytes) {
    std::mt19937 rng(13);
    for (const Row &r : rows()) {
        SCOPED_TRACE(r.label);
        for (int round = 0; round < 40; ++round) {
            std::vector<size_t> cuts(1 + rng() % 8);
            for (size_t &c : cuts) c = 1 + rng() % (round < 20 ? 9 : 2 * max_held);
            EXPECT_EQ(show(filtered(r.doc, "binary", cuts)), show(r.out));
        }
    }
}

TEST(image_filter, every_byte_at_every_place_in_a_line) {
    // the alphabet is tested sixteen bytes at a time: put each byte at each place of two such blocks
    for (int c = 0; c < 256; ++c) {
        const auto ch = static_cast<char>(c);
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              ch == '+' || ch == '/' || ch == '=' || ch == ' ' || ch == '\t';
        if (ch == '\n' || ch == '\r' || ch == '<') continue; // they end a line or the run in their own way
        for (size_t at = 0; at < 40; ++at) {
            std::string line(40, 'Q');
            line[at] = ch;
            const std::string doc = "<a><binary>" + line + "\n</binary></a>";
            // a foreign byte ends the run: what was held before it goes on as spaces
            const std::string out = alphabet ? "<a><binary>\n</binary></a>"
                                             : "<a><binary>" + std::string(at, ' ') + line.substr(at) + "\n</binary></a>";
            if (filtered(doc, "binary", {doc.size()}) != out) {
                ADD_FAILURE() << "byte " << c << " at " << at << ": " << show(filtered(doc, "binary", {doc.size()}));
                break;
            }
        }
    }
}

TEST(image_filter, no_element_name_filters_nothing) {
    std::vector<std::string> docs;
    for (const Row &r : rows()) docs.push_back(r.doc);
    expect_unchanged(docs, "");
    EXPECT_FALSE(ImageFilter("").active());
}

TEST(image_filter, the_element_is_the_one_named) {
    expect_rows({
        {"image", "<a><image>QUJD\n</image><binary>QUJD\n</binary></a>", "<a><image>\n</image><binary>QUJD\n</binary></a>"},
    }, "image");
    expect_rows({{"a prefixed name as named", "<a><l:i>QUJD\n</l:i><i>QUJD\n</i></a>", "<a><l:i>\n</l:i><i>QUJD\n</i></a>"}},
                "l:i");
}

TEST(image_filter, only_in_encodings_where_ascii_is_ascii) {
    const struct {
        const char *encoding;
        bool filtered;
    } encodings[] = {
        {"UTF-8", true},        {"utf-8", true},        {"US-ASCII", true},     {"us-ascii", true},
        {"ISO-8859-1", true},   {"iso-8859-5", true},   {"ISO-8859-15", true},  {"iso-8859-16", true},
        {"windows-1250", true}, {"WINDOWS-1251", true}, {"Windows-1252", true}, {"windows-1258", true},
        {"koi8-r", true},       {"KOI8-U", true},       {"cp866", true},        {"IBM866", true},
        {"UTF-16", false},      {"utf-16le", false},    {"UTF-32", false},      {"Shift_JIS", false},
        {"GBK", false},         {"Big5", false},        {"EUC-JP", false},      {"ISO-2022-JP", false},
        {"IBM037", false},      {"ISO-8859-12", false}, {"ISO-8859-17", false}, {"ISO-8859-01", false},
        {"ISO-8859-", false},   {"windows-1259", false}, {"windows-125", false}, {"windows-874", false},
        {"utf8", false},        {"UTF-7", false},       {"ascii", false},       {"", false},
        {"x-no-such", false},   {"koi8", false},
    };
    std::vector<Row> on;
    std::vector<std::string> off;
    for (const auto &e : encodings) {
        const std::string prolog = "<?xml version=\"1.0\" encoding=\""s + e.encoding + "\"?>";
        if (e.filtered) on.push_back({e.encoding, with_image(prolog), with_image_out(prolog)});
        else off.push_back(with_image(prolog));
    }
    // as the BOM says, or UTF-8 when nothing does
    on.push_back({"no declaration", with_image(""), with_image_out("")});
    on.push_back({"a BOM", with_image("\xEF\xBB\xBF"), with_image_out("\xEF\xBB\xBF")});
    on.push_back({"a BOM and a declaration", with_image("\xEF\xBB\xBF" + decl), with_image_out("\xEF\xBB\xBF" + decl)});
    on.push_back({"a declaration without an encoding", with_image("<?xml version='1.0'?>"),
                  with_image_out("<?xml version='1.0'?>")});
    on.push_back({"single quotes, spaces and standalone",
                  with_image("<?xml version = '1.0'  encoding = 'koi8-r' standalone='yes' ?>\n"),
                  with_image_out("<?xml version = '1.0'  encoding = 'koi8-r' standalone='yes' ?>\n")});
    on.push_back({"white space before the root", with_image("\n \t\r\n"), with_image_out("\n \t\r\n")});
    expect_rows(on);
    expect_unchanged(off);
}

TEST(image_filter, never_in_utf16) {
    const std::string doc = with_image(decl);
    expect_unchanged({
        utf16(doc, false, true),
        utf16(doc, true, true),
        utf16(doc, false, false),
        utf16(doc, true, false),
        utf16(with_image(""), false, false),
        utf16(with_image(""), true, false),
        "\xFF\xFE\0\0"s + with_image(""), // UTF-32LE's BOM starts as UTF-16LE's
        "\0\0\xFE\xFF"s + with_image(""),
    });
}

TEST(image_filter, what_it_does_not_follow_turns_it_off) {
    const std::string image = "<binary>QUJD\n</binary>";
    expect_unchanged({
        // before the root
        "x" + book(image),
        " " + book(image), // a declaration after white space
        decl + "x" + book(image, ""),
        decl + decl + book(image, ""),
        book(image, "<?xml version=\"1.0\" encoding=windows-1251?>"),
        book(image, "<?xml?>"),
        book(image, "<?xml encoding=\"UTF-8\"?>").replace(0, 5, "<?XML"),
        book(image, "<?xml version=\"1.0\" lang=\"en\"?>"),
        book(image, "<?xml version=\"1.0\"encoding=\"UTF-8\"?>"),
        book(image, "<?xml version=\"1.0\"" + std::string(300, ' ') + "?>"), // longer than any declaration
        book(image, decl + "<![CDATA[x]]>"),
        book(image, decl + "<!DOCTYPE a [ <![IGNORE[ x ]]> ]>"),
        // declarations make entities, whose expansion Expat weighs against the bytes it is given
        book(image, decl + "<!DOCTYPE a [ <!ENTITY e \"<binary>QUJD\n\"> ]>"),
        book(image, decl + "<!DOCTYPE a [ <!ATTLIST binary id CDATA '>QUJD\n'> ]>"),
        book(image, decl + "<!DOCTYPE a [ %pe; ]>"),
        book(image, decl + "<!DOCTYPE a [ x\" ]>"),
        book(image, decl + "<!DOCTYPE a [ <x> ]>"),
        book(image, decl + "<!DOCTYPE a ] >"),
        book(image, decl + "<!DOCTYPE a [ ] x>"),
        book(image, decl + "<!DOCTYPEa>"),
        book(image, decl + "<!DOCTYPE a><!DOCTYPE a>"),
        book(image, decl + "<!ELEMENT a ANY>"),
        book(image, decl + "<!- x -->"),
        book(image, decl + "<? x?>"),
        book(image, decl + "<?1x?>"),
        book(image, decl + "<?x\"?>"),
        book(image, decl + "<?xml-stylesheet?><?XmL x?>"),
        book(image, "\xEF\xBB<?xml version=\"1.0\"?>"),
        book(image, "\xEF<?xml version=\"1.0\"?>"),
        decl + "<1>" + image + "</1>",
        decl + "< a>" + image + "</a>",
        decl + "<a/><b>" + image + "</b>",
        decl + "</a>" + image,
        decl + "<a></a></a>" + image,
        // inside the root
        book("<p a=\"1\"<b>" + image),
        book("<p/ >" + image),
        book("<p=>" + image),
        book("<!-- a -- b -->" + image),
        book("<!-- a --->" + image),
        book("<![CDATA ]]>" + image),
        book("<!DOCTYPE a>" + image),
        book("<!x>" + image),
        book("</a <b>" + image),
        book("<?xml version=\"1.0\"?>" + image),
    });
}

TEST(image_filter, a_document_cut_short_is_cut_the_same) {
    // a document cut at every byte, wherever the lexer is: a fair output, the same in single bytes
    const std::string doc = book(image + "<binary>QUJD\r\nQUJD</binary>");
    for (size_t cut = 0; cut <= doc.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::string prefix = doc.substr(0, cut);
        const std::string out = filtered(prefix, "binary", 0);
        EXPECT_EQ(filter_checks::broken(prefix, out), "");
        EXPECT_EQ(show(filtered(prefix, "binary", 1)), show(out));
    }
}

#ifndef _WIN32
namespace {

// what a plain Expat makes of a document: "well-formed", or its fault and where
std::string expat_verdict(std::string_view doc) {
    XML_Parser p = XML_ParserCreate(nullptr);
    const XML_Status status = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE);
    std::string verdict = status == XML_STATUS_OK
                              ? "well-formed"
                              : std::string(XML_ErrorString(XML_GetErrorCode(p))) + " at line " +
                                    std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                                    std::to_string(XML_GetCurrentColumnNumber(p));
    XML_ParserFree(p);
    return verdict;
}

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(image_filter, the_parser_finds_the_same_faults_where_it_found_them) {
    std::vector<std::pair<std::string, std::string>> docs;
    for (const Row &r : rows()) docs.emplace_back(r.label, r.doc);
    for (const std::string bad : {"&", "<", "]]>", "\x01", "\xC3", "\xFF", "\"", "&#0;"})
        docs.emplace_back("a fault in a run: " + show(bad), book("<binary>QUJD\nQU" + bad + "JD\nQUJD\n</binary>"));
    docs.emplace_back("a fault after a run", book(image + "</x>"));
    docs.emplace_back("a fault on the last line of a run", decl + "<a><binary>QUJD\nQUJD</a>");
    for (const std::string end : {"\r", "\n", "\r\n", "\n\r", "", " "})
        docs.emplace_back("cut in a run after " + show(end), decl + "<a><binary>QUJD\nQU" + end);
    int dropped = 0;
    for (const auto &[label, doc] : docs) {
        SCOPED_TRACE(label);
        const std::string out = filtered(doc, "binary", 0);
        EXPECT_EQ(expat_verdict(out), expat_verdict(doc));
        dropped += out.size() < doc.size();
    }
    EXPECT_GT(dropped, 0);
}

TEST(image_filter, corpus_books_read_the_same_with_less) {
    const fs::path dir = support::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no real-book corpus beside the checkout (../shared/corpus/real)";
    size_t in_bytes = 0, out_bytes = 0;
    int books = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".fb2") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::string doc = slurp(entry.path());
        const std::string out = filtered(doc, "binary", 0);
        EXPECT_EQ(filter_checks::broken(doc, out), "");
        EXPECT_EQ(expat_verdict(out), expat_verdict(doc));
        for (const size_t piece : {size_t{7}, size_t{1021}}) EXPECT_TRUE(filtered(doc, "binary", piece) == out) << piece;
        in_bytes += doc.size();
        out_bytes += out.size();
        ++books;
    }
    std::printf("[ corpus   ] %d books, %zu bytes in, %zu to the parser\n", books, in_bytes, out_bytes);
    EXPECT_LT(out_bytes, in_bytes);
}
#endif
