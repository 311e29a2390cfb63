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

// One part as clients write it: delimiter, CR LF, header lines, blank line, data, CR LF.
std::string part(std::string_view headers, std::string_view data) {
    return "--B\r\n" + std::string(headers) + "\r\n\r\n" + std::string(data) + "\r\n";
}
std::string disposition(std::string_view params) { return "Content-Disposition: form-data; " + std::string(params); }
const std::string kClose = "--B--\r\n";

}  // namespace

// The glue stops at its first failed allocation, with a Python error set: no part may follow.
TEST(multipart_stops_when_asked) {
    const std::string body = part(disposition("name=a"), "1") + part(disposition("name=b"), "2") + kClose;
    int calls = 0;
    parse_multipart(body, "B", [&](const MultipartPart&) { return ++calls < 1; });
    CHECK_EQ(calls, 1);
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

// Without a buffer, every part's data is a view of the body.
std::vector<Got> parse(std::string_view body, std::string_view boundary = "B", StringBuffer* buffer = nullptr) {
    std::vector<Got> parts;
    parse_multipart(
        body, boundary,
        [&](const MultipartPart& p) {
            if (p.data_in_buffer) {
                CHECK(buffer && p.has_filename && buffer->live && buffer->buf == p.data);
                buffer->live = false;
            } else {
                CHECK(p.data.data() >= body.data() && p.data.data() + p.data.size() <= body.data() + body.size());
            }
            parts.push_back({std::string(p.name), p.has_filename, std::string(p.filename),
                             std::string(p.content_type), std::string(p.data)});
            return true;
        },
        buffer);
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
        const auto got = parse(bodies[i], "B", &buffer);
        if (got != expected) std::fprintf(stderr, "body %zu\n", i);
        CHECK(got == expected);
        StringBuffer refusing;
        refusing.refuse = true;
        CHECK(parse(bodies[i], "B", &refusing) == expected);
        CHECK(refusing.reserves <= 1);
    }
    // A boundary longer than the head window, and an empty one.
    const std::string long_b(5000, 'k');
    const std::string lf = "--" + long_b + "\r\n" + f + "\r\n\r\n";
    for (const std::string& body : {lf + big + "\r\n--" + long_b + "--", lf + big + "--" + long_b + lf + big + "\r\n--" + long_b}) {
        StringBuffer buffer;
        CHECK(parse(body, long_b, &buffer) == parse(body, long_b));
    }
    const std::string e = "--\r\n" + f + "\r\n\r\n" + bytes(20000, 9, "abc") + "\r\n--";
    StringBuffer buffer;
    CHECK(parse(e, "", &buffer) == parse(e, ""));
}
