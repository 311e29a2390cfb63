// libFuzzer target: what the JSON writer produces, the JSON parser reads back to the same
// value. Two kinds of input share the target (first byte even / odd):
//  - a text: write_string of it is a string literal with no raw control bytes and no raw
//    '<', '>' or '&', and parses back to exactly the text;
//  - a JSON document: when it parses, writing its tape back out (members in the parser's key
//    order) gives a text that parses to the same tape; integers and strings come back exact,
//    doubles come back as doubles within a few units in the last place (the parser's decimal
//    conversion is not correctly rounded, and is allowed not to be).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/float_format.h"
#include "json/json_parser.h"
#include "json/json_utf8.h"
#include "json/json_writer.h"

using namespace calvenor::json;

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "json round trip: %s\ntext (%zu bytes): %.*s\n", what, text.size(),
                 (int)std::min<size_t>(text.size(), 400), text.data());
    std::abort();
}
#define ASSERT(c, t)              \
    do {                          \
        if (!(c)) fail(#c, (t));  \
    } while (0)

void write_node(const JsonDocument& doc, size_t i, OutBuffer& out) {
    const Node& n = doc.node(i);
    switch (n.tag()) {
        case Tag::Null: out.append("null"); return;
        case Tag::False: out.append("false"); return;
        case Tag::True: out.append("true"); return;
        case Tag::UInt: write_uint(out, n.payload); return;
        case Tag::NegInt: write_int(out, doc.as_negint(i)); return;
        case Tag::Double: {
            char buf[kFloatBufferSize];
            out.append(buf, format_float(doc.as_double(i), buf));
            return;
        }
        case Tag::String:
        case Tag::EscString: write_string(out, doc.string(i)); return;
        case Tag::Array: {
            out.put('[');
            size_t k = i + 1;
            for (uint64_t m = 0; m < n.size(); ++m) {
                if (m) out.put(',');
                write_node(doc, k, out);
                k = doc.skip(k);
            }
            out.put(']');
            return;
        }
        case Tag::Object:
        case Tag::OrderedObject: {
            out.put('{');
            bool first = true;
            doc.for_each_member(i, [&](size_t key) {
                if (!first) out.put(',');
                first = false;
                write_string(out, doc.string(key));
                out.put(':');
                write_node(doc, key + 1, out);
                return true;
            });
            out.put('}');
            return;
        }
    }
}

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}

bool close_doubles(double a, double b) {
    if (std::signbit(a) != std::signbit(b)) return false;
    const uint64_t x = bits(a), y = bits(b);
    return (x > y ? x - y : y - x) <= 4;
}

// Structural equality of the value at i in a and at j in b.
bool same(const JsonDocument& a, size_t i, const JsonDocument& b, size_t j, std::string_view text) {
    const Node& x = a.node(i);
    const Node& y = b.node(j);
    const bool xs = x.tag() == Tag::String || x.tag() == Tag::EscString;
    const bool ys = y.tag() == Tag::String || y.tag() == Tag::EscString;
    if (xs || ys) return xs && ys && a.string(i) == b.string(j);
    const bool xo = x.tag() == Tag::Object || x.tag() == Tag::OrderedObject;
    const bool yo = y.tag() == Tag::Object || y.tag() == Tag::OrderedObject;
    if (xo || yo) {
        if (!xo || !yo || a.member_count(i) != b.member_count(j)) return false;
        // Rewritten objects have their keys in order already.
        ASSERT(y.tag() == Tag::Object, text);
        size_t kb = j + 1;
        bool ok = true;
        a.for_each_member(i, [&](size_t ka) {
            ok = a.string(ka) == b.string(kb) && same(a, ka + 1, b, kb + 1, text);
            kb = b.skip(kb + 1);
            return ok;
        });
        return ok;
    }
    if (x.tag() != y.tag()) return false;
    switch (x.tag()) {
        case Tag::UInt:
        case Tag::NegInt: return x.payload == y.payload;
        case Tag::Double: return close_doubles(a.as_double(i), b.as_double(j));
        case Tag::Array: {
            if (x.size() != y.size()) return false;
            size_t ka = i + 1, kb = j + 1;
            for (uint64_t m = 0; m < x.size(); ++m) {
                if (!same(a, ka, b, kb, text)) return false;
                ka = a.skip(ka);
                kb = b.skip(kb);
            }
            return true;
        }
        default: return true;
    }
}

void check_string(std::string_view s) {
    OutBuffer out;
    write_string(out, s);
    const std::string_view w = out.view();
    ASSERT(w.size() >= 2 && w.front() == '"' && w.back() == '"', w);
    for (char c : w) {
        const auto u = static_cast<unsigned char>(c);
        ASSERT(u >= 0x20 && c != '<' && c != '>' && c != '&', w);
    }
    JsonDocument doc;
    const JsonError err = parse_json(w, doc);
    if (err) fail(err.message, w);
    ASSERT(doc.tape.size() == 1, w);
    ASSERT(doc.string(0) == s, w);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    if ((data[0] & 1) == 0) {
        if (utf8_valid(reinterpret_cast<const unsigned char*>(input.data()), input.size())) check_string(input);
        std::string ascii(input);  // every byte below 0x80: always UTF-8, dense in escapes
        for (char& c : ascii) c = static_cast<char>(c & 0x7f);
        check_string(ascii);
        return 0;
    }

    JsonDocument doc;
    if (parse_json(input, doc)) return 0;
    OutBuffer out;
    write_node(doc, 0, out);
    const std::string first(out.view());

    JsonDocument again;
    const JsonError err = parse_json(first, again);
    if (err) fail(err.message, first);
    ASSERT(same(doc, 0, again, 0, first), first);
    return 0;
}
