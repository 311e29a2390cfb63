#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "request/multipart_parser.h"

using calvenor::request::MultipartPart;
using calvenor::request::parse_multipart;

namespace {

struct Got {
    std::string name;
    bool file;
    std::string filename;
    std::string content_type;
    std::string data;
    bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
    return os << "{" << g.name << (g.file ? " file '" + g.filename + "'" : " field") << " ct='" << g.content_type
              << "' data='" << g.data << "'}";
}

std::vector<Got> parse(std::string_view body, std::string_view boundary = "B") {
    std::vector<Got> parts;
    parse_multipart(body, boundary, [&](const MultipartPart& p) {
        CHECK(p.data.data() >= body.data() && p.data.data() + p.data.size() <= body.data() + body.size());
        parts.push_back({std::string(p.name), p.has_filename, std::string(p.filename), std::string(p.content_type),
                         std::string(p.data)});
        return true;
    });
    return parts;
}

Got field(std::string name, std::string data) { return {std::move(name), false, "", "", std::move(data)}; }
Got file(std::string name, std::string filename, std::string ct, std::string data) {
    return {std::move(name), true, std::move(filename), std::move(ct), std::move(data)};
}

// One part as clients write it: delimiter, CR LF, header lines, blank line, data, CR LF.
std::string part(std::string_view headers, std::string_view data) {
    return "--B\r\n" + std::string(headers) + "\r\n\r\n" + std::string(data) + "\r\n";
}
std::string disposition(std::string_view params) { return "Content-Disposition: form-data; " + std::string(params); }
const std::string kClose = "--B--\r\n";

struct Case {
    const char* what;
    std::string body;
    std::vector<Got> parts;
};

void run(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        const auto got = parse(c.body);
        const bool same = got == c.parts;
        if (!same) std::fprintf(stderr, "case: %s\n", c.what);
        CHECK_EQ(got.size(), c.parts.size());
        for (size_t i = 0; i < got.size() && i < c.parts.size(); ++i) CHECK_EQ(got[i], c.parts[i]);
    }
}

}  // namespace

TEST(multipart_fields_and_files) {
    run({
        {"empty body", "", {}},
        {"two fields, same name",
         part("Content-Disposition: form-data; name=a", "1") + part("Content-Disposition: form-data; name=a", "2") +
             kClose,
         {field("a", "1"), field("a", "2")}},
        {"file with content type",
         part(disposition("name=\"f\"; filename=\"x.txt\"") + "\r\nContent-Type: text/plain", "hello") + kClose,
         {file("f", "x.txt", "text/plain", "hello")}},
        {"file without content type", part(disposition("name=\"f\"; filename=\"x.txt\""), "hi") + kClose,
         {file("f", "x.txt", "", "hi")}},
        {"empty filename", part(disposition("name=f; filename=\"\""), "") + kClose, {file("f", "", "", "")}},
        {"no name", part(disposition("filename=x"), "1") + part("Content-Type: text/plain", "2") + kClose, {}},
        {"unquoted, upper-case key and header",
         part("CONTENT-DISPOSITION: form-data; NAME=plain", "1") + part("content-disposition:attachment;name=p", "2") +
             kClose,
         {field("plain", "1"), field("p", "2")}},
        {"quoted semicolon cuts", part(disposition("name=\"a;b\""), "1") + kClose, {field("\"a", "1")}},
        {"quotes stripped once, inner text kept",
         part(disposition("name=\" x \\\"y\\\" \""), "1") + part(disposition("name=\""), "2") +
             part(disposition("name=\"\"\"\""), "3") + kClose,
         {field(" x \\\"y\\\" ", "1"), field("\"", "2"), field("\"\"", "3")}},
        {"parameter spacing and empty values",
         part("Content-Disposition:form-data ;  name = v ; =x; junk; filename", "1") + part(disposition("name="), "2") +
             kClose,
         {field("v", "1"), field("", "2")}},
        {"field data with invalid UTF-8 left to the caller",
         part(disposition("name=a"), "\xFF\xC3") + part(disposition("name=b; filename=b"), "\xFF\xC3") + kClose,
         {field("a", "\xFF\xC3"), file("b", "b", "", "\xFF\xC3")}},
        {"invalid UTF-8 in header text", part(disposition("name=x-\xFF; filename=\xC3"), "") + kClose,
         {file("x-\xEF\xBF\xBD", "\xEF\xBF\xBD", "", "")}},
    });
}

TEST(multipart_extended_filename) {
    run({
        {"percent-encoded UTF-8", part(disposition("name=f; filename*=UTF-8''%E2%82%AC.txt"), "d"),
         {file("f", "\xE2\x82\xAC.txt", "", "d")}},
        {"language tag kept", part(disposition("name=f; filename*=UTF-8'en'%41"), "d"),
         {file("f", "UTF-8'en'A", "", "d")}},
        {"filename* after filename wins", part(disposition("name=f; filename=a.txt; filename*=UTF-8''b.txt"), "d"),
         {file("f", "b.txt", "", "d")}},
        {"filename after filename* wins", part(disposition("name=f; filename*=UTF-8''b.txt; filename=a.txt"), "d"),
         {file("f", "a.txt", "", "d")}},
        {"malformed escapes, plus and charset ignored",
         part(disposition("name=f; FILENAME*=iso-8859-1''%e9%4%zz+%2"), "d"),
         {file("f", "\xEF\xBF\xBD%4%zz+%2", "", "d")}},
        {"escapes before the quotes are dropped with them", part(disposition("name=f; filename*=%41''x''%42"), "d"),
         {file("f", "x''B", "", "d")}},
        {"quoted extended value", part(disposition("name=f; filename*=\"UTF-8''%C3%A9\""), "d"),
         {file("f", "\xC3\xA9", "", "d")}},
    });
}

TEST(multipart_header_block) {
    run({
        {"later disposition replaces name and filename",
         part(disposition("name=a; filename=f") + "\r\n" + disposition("name=b"), "1") +
             part(disposition("name=a") + "\r\nContent-Disposition: form-data; filename=f", "2") + kClose,
         {field("b", "1")}},
        {"last content type wins, value untouched",
         part("Content-Type: text/a\r\n" + disposition("name=f; filename=x") + "\r\ncontent-type:  Text/B; charset=UTF-8 ",
              "d"),
         {file("f", "x", "Text/B; charset=UTF-8", "d")}},
        {"bare LF lines, lines without colon, Unicode trimming",
         part(disposition("name=a; filename=f") +
                  "\nno colon here\n\n\xC2\xA0" "content-TYPE\xE3\x80\x80:\t text/a\xC2\x85\r\nX-Other: 1\r",
              "d"),
         {file("a", "f", "text/a", "d")}},
        {"non-White_Space characters are kept",
         part(disposition("name=\xE2\x80\x8Bx\xEF\xBB\xBF"), "d"), {field("\xE2\x80\x8Bx\xEF\xBB\xBF", "d")}},
        {"trimmed parameter values", part(disposition("name=\xE3\x80\x80v\xC2\xA0"), "d"), {field("v", "d")}},
    });
}

TEST(multipart_piece_rules) {
    const std::string a = disposition("name=a");
    run({
        {"one trailing CR LF dropped", part(a, "x\r\n") + part(a, "y") + part(a, "\r\n") + part(a, "") + kClose,
         {field("a", "x\r\n"), field("a", "y"), field("a", "\r\n"), field("a", "")}},
        {"data without trailing CR LF", "--B\r\n" + a + "\r\n\r\nz--B--", {field("a", "z")}},
        {"delimiter inside data cuts the part",
         part(a, "abc--Bdef") + "--B\r\n" + a + "\r\n\r\nrest--B\r\n" + a + "\r\n\r\nlast\r\n" + kClose,
         {field("a", "abc"), field("a", "rest"), field("a", "last")}},
        {"delimiter need not follow a line break", "x--B" + a + "\r\n\r\nv--B--", {field("a", "v")}},
        {"bytes after the closing delimiter are ignored", part(a, "1") + "--B--" + part(a, "2"), {field("a", "1")}},
        {"closing delimiter without CR LF, then garbage", part(a, "1") + "--B--garbage\r\n" + a + "\r\n\r\nv",
         {field("a", "1")}},
        {"preamble starting with -- ends the parse", "--preamble\r\n" + part(a, "1") + kClose, {}},
        {"ordinary preamble skipped", "This is a preamble.\r\n" + part(a, "1") + kClose, {field("a", "1")}},
        {"preamble that looks like a part is read", a + "\r\n\r\npre\r\n" + part(a, "1"),
         {field("a", "pre"), field("a", "1")}},
        {"no delimiter, one header block", a + "\r\n\r\nvalue", {field("a", "value")}},
        {"no blank line", "--B\r\n" + a + "\r\n" + kClose, {}},
        {"blank line only", "--B\r\n\r\n\r\n\r\ndata\r\n" + kClose, {}},
        {"short pieces", "--B-" + std::string("--B\r\nab") + "--B\r\n\r\n\r\n" + kClose, {}},
        {"header block needs CR LF CR LF, not LF LF", "--B\r\n" + a + "\n\nv\r\n" + kClose, {}},
        {"a second leading CR LF is an empty header line", "--B\r\n\r\n" + a + "\r\n\r\nv\r\n" + kClose,
         {field("a", "v")}},
        {"a single hyphen piece is skipped", "--B-" + part(a, "v") + kClose, {field("a", "v")}},
    });
}

TEST(multipart_unusual_boundaries) {
    const std::string a = "Content-Disposition: form-data; name=a\r\n\r\n";
    // Empty boundary: every "--" is a delimiter.
    {
        const auto got = parse("--\r\n" + a + "1--2\r\n--\r\n" + a + "3\r\n----", "");
        CHECK(got == (std::vector<Got>{field("a", "1"), field("a", "3")}));
    }
    // Boundary made of hyphens: the leftmost non-overlapping split decides.
    {
        const auto got = parse("----\r\n" + a + "v\r\n------\r\n", "--");
        CHECK(got == (std::vector<Got>{field("a", "v")}));
    }
    // Non-ASCII boundary text is matched by its UTF-8 bytes.
    {
        const auto got = parse("--\xC3\xA9\r\n" + a + "v\r\n--\xC3\xA9--", "\xC3\xA9");
        CHECK(got == (std::vector<Got>{field("a", "v")}));
    }
}

TEST(multipart_stops_when_asked) {
    const std::string body = part(disposition("name=a"), "1") + part(disposition("name=b"), "2") + kClose;
    int calls = 0;
    parse_multipart(body, "B", [&](const MultipartPart&) { return ++calls < 1; });
    CHECK_EQ(calls, 1);
}

TEST(multipart_client_body) {
    const std::string b = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
    const std::string body = "--" + b + "\r\n" +
                             "Content-Disposition: form-data; name=\"title\"\r\n\r\n"
                             "Quarterly report\r\n"
                             "--" + b + "\r\n" +
                             "Content-Disposition: form-data; name=\"tags\"\r\n\r\n"
                             "caf\xC3\xA9\r\n"
                             "--" + b + "\r\n" +
                             "Content-Disposition: form-data; name=\"tags\"\r\n\r\n"
                             "\r\n"
                             "--" + b + "\r\n" +
                             "Content-Disposition: form-data; name=\"upload\"; filename=\"report.csv\"\r\n"
                             "Content-Type: text/csv\r\n\r\n"
                             "a,b\r\n1,2\r\n\r\n"
                             "--" + b + "\r\n" +
                             "Content-Disposition: form-data; name=\"blob\"; filename=\"x.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             std::string("\x00\xFF\r\n--\r\n\r\n", 9) + "\r\n" +
                             "--" + b + "--\r\n";
    const auto got = parse(body, b);
    const std::vector<Got> expected = {
        field("title", "Quarterly report"),
        field("tags", "caf\xC3\xA9"),
        field("tags", ""),
        file("upload", "report.csv", "text/csv", "a,b\r\n1,2\r\n"),
        file("blob", "x.bin", "application/octet-stream", std::string("\x00\xFF\r\n--\r\n\r\n", 9)),
    };
    CHECK_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size() && i < expected.size(); ++i) CHECK_EQ(got[i], expected[i]);
}

namespace {

// Hands out std::string buffers, as the Python glue hands out bytes objects.
class StringBuffer final : public calvenor::request::FileBuffer {
public:
    char* reserve(size_t size) override {
        ++reserves;
        if (refuse) return nullptr;
        buf.assign(size, '\x55');
        live = true;
        return buf.data();
    }
    void release() override { live = false; }
    std::string buf;
    bool live = false;
    bool refuse = false;
    int reserves = 0;
};

std::vector<Got> parse_with_buffer(std::string_view body, std::string_view boundary, StringBuffer& buffer) {
    std::vector<Got> parts;
    parse_multipart(
        body, boundary,
        [&](const MultipartPart& p) {
            std::string data(p.data);
            if (p.data_in_buffer) {
                CHECK(p.has_filename && buffer.live);
                CHECK(buffer.buf == data);
                buffer.live = false;
            }
            parts.push_back({std::string(p.name), p.has_filename, std::string(p.filename),
                             std::string(p.content_type), std::move(data)});
            return true;
        },
        &buffer);
    return parts;
}

std::string bytes(size_t n, unsigned seed, std::string_view alphabet) {
    std::string out(n, ' ');
    for (auto& c : out) {
        seed = seed * 1103515245u + 12345u;
        c = alphabet[(seed >> 16) % alphabet.size()];
    }
    return out;
}

}  // namespace

// Large files are copied while their end is searched for; whatever the guess about the
// end, the parts must be those of the plain parse.
TEST(multipart_file_copied_during_search) {
    const std::string bin = bytes(256, 7, std::string_view("\x00\x01\xFF-\r\nBZ", 8));
    const std::string noisy = bytes(9000, 3, std::string_view("\x00\x01\xFF-\r\nBZ", 8));
    const std::string big = bytes(200000, 5, "abcdefgh\r\n-");
    const std::string dashes(70000, '-');
    const std::string f = disposition("name=\"up\"; filename=\"a.bin\"") + "\r\nContent-Type: x/y";
    const std::vector<std::string> bodies = {
        part(f, big) + kClose,                                      // guess right
        part(f, big) + kClose + "epilogue",                         // last delimiter is not at the end
        part(f, big) + part(f, big) + kClose,                       // guess wrong once
        part(f, big) + part(f, big) + part(f, noisy) + kClose,      // and not tried again
        part(f, big + "--B" + big) + kClose,                        // delimiter inside the data
        part(f, big + "--" + big) + kClose,                         // near miss inside the data
        part(f, big),                                               // no closing delimiter
        part(f, big + "\r\n\r\n") + "--B",                          // data ending in CR LF
        part(f, big.substr(0, 5000)) + "--B",                       // no CR LF before the end
        part(disposition("name=a"), big) + kClose,                  // a long field
        part(f + "\r\nX: " + big.substr(0, 5000), "d") + part(f, big) + kClose,  // header past the head
        part(f, dashes + "--B" + dashes) + kClose,                  // forces the linear search
        part(f, bin + dashes) + kClose,
        "--B--" + big + part(f, big) + kClose,                      // ends before any part
        big + part(f, big) + "--B",
        part(f, noisy) + "--B--",
    };
    for (size_t i = 0; i < bodies.size(); ++i) {
        const auto expected = parse(bodies[i]);
        StringBuffer buffer;
        const auto got = parse_with_buffer(bodies[i], "B", buffer);
        if (got != expected) std::fprintf(stderr, "body %zu\n", i);
        CHECK(got == expected);
        StringBuffer refusing;
        refusing.refuse = true;
        CHECK(parse_with_buffer(bodies[i], "B", refusing) == expected);
        CHECK(refusing.reserves <= 1);
    }
    // A boundary longer than the head window, and an empty one.
    const std::string long_b(5000, 'k');
    const std::string lf = "--" + long_b + "\r\n" + f + "\r\n\r\n";
    for (const std::string& body : {lf + big + "\r\n--" + long_b + "--", lf + big + "--" + long_b + lf + big + "\r\n--" + long_b}) {
        StringBuffer buffer;
        CHECK(parse_with_buffer(body, long_b, buffer) == parse(body, long_b));
    }
    const std::string e = "--\r\n" + f + "\r\n\r\n" + bytes(20000, 9, "abc") + "\r\n--";
    StringBuffer buffer;
    CHECK(parse_with_buffer(e, "", buffer) == parse(e, ""));
}
