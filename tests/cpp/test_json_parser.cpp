#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "check.h"
#include "json/json_parser.h"

using namespace calvenor::json;

namespace {

// Compact rendering of a parsed document that shows every observable distinction:
// u = unsigned, i = negative int, d = double (%.17g), strings raw between quotes.
void render(const JsonDocument& doc, size_t i, std::string& out) {
    const Node& n = doc.node(i);
    char buf[40];
    switch (n.tag()) {
        case Tag::Null: out += "null"; break;
        case Tag::False: out += "false"; break;
        case Tag::True: out += "true"; break;
        case Tag::UInt: std::snprintf(buf, sizeof buf, "u%llu", (unsigned long long)n.payload); out += buf; break;
        case Tag::NegInt: std::snprintf(buf, sizeof buf, "i%lld", (long long)doc.as_negint(i)); out += buf; break;
        case Tag::Double: std::snprintf(buf, sizeof buf, "d%.17g", doc.as_double(i)); out += buf; break;
        case Tag::String:
        case Tag::EscString: out += '"'; out += doc.string(i); out += '"'; break;
        case Tag::Array: {
            out += '[';
            size_t k = i + 1;
            for (uint64_t m = 0; m < n.size(); ++m) {
                if (m) out += ',';
                render(doc, k, out);
                k = doc.skip(k);
            }
            out += ']';
            break;
        }
        case Tag::Object:
        case Tag::OrderedObject: {
            out += '{';
            bool first = true;
            doc.for_each_member(i, [&](size_t k) {
                if (!first) out += ',';
                first = false;
                out += '"';
                out += doc.string(k);
                out += "\":";
                render(doc, k + 1, out);
                return true;
            });
            out += '}';
            break;
        }
    }
}

std::string parse_ok(std::string_view text) {
    JsonDocument doc;
    JsonError err = parse_json(text, doc);
    if (err) return "ERROR " + format_json_error(text, err);
    std::string out;
    render(doc, 0, out);
    return out;
}

std::string parse_err(std::string_view text) {
    JsonDocument doc;
    JsonError err = parse_json(text, doc);
    if (!err) return "OK";
    return format_json_error(text, err);
}


}  // namespace

TEST(json_unescaped_strings_are_views_into_the_input) {
    JsonDocument doc;
    std::string big = "\"" + std::string(100000, 'x') + "\"";
    CHECK(!parse_json(big, doc));
    CHECK_EQ(doc.string(0).size(), big.size() - 2);
    CHECK(doc.string(0).data() == big.data() + 1);
}

// Keys of same-shaped objects are first matched against the key that followed last time;
// hits and misses must give the same tape as a cold parse.
TEST(json_key_guesses_hit_and_miss) {
    std::string text =
        "[{\"a\":1,\"b\":2,\"c\":3},{\"a\":4,\"b\":5,\"c\":6},{\"a\":7,\"x\":8,\"c\":9},"
        "{\"a\":1,\"b\":2,\"b\":3},{\"c\":1,\"b\":2,\"a\":3},{\"c\":4,\"b\":5,\"a\":6},"
        "{\"a\":1,\"b\":2,\"c\":3},{\"ab\":1},{\"abc\":2},{\"ab\":3},{\"a\\u0062\":4,\"b\":5},{\"ab\":6,\"b\":7}]";
    CHECK_EQ(parse_ok(text),
             "[{\"a\":u1,\"b\":u2,\"c\":u3},{\"a\":u4,\"b\":u5,\"c\":u6},{\"a\":u7,\"c\":u9,\"x\":u8},"
             "{\"a\":u1,\"b\":u3},{\"a\":u3,\"b\":u2,\"c\":u1},{\"a\":u6,\"b\":u5,\"c\":u4},"
             "{\"a\":u1,\"b\":u2,\"c\":u3},{\"ab\":u1},{\"abc\":u2},{\"ab\":u3},{\"ab\":u4,\"b\":u5},{\"ab\":u6,\"b\":u7}]");
    // Nested contexts: each enclosing key remembers its own first key.
    CHECK_EQ(parse_ok("{\"u\":{\"id\":1,\"n\":2},\"v\":[{\"id\":3,\"n\":4},{\"id\":5,\"m\":6},{\"n\":7,\"id\":8}]}"),
             "{\"u\":{\"id\":u1,\"n\":u2},\"v\":[{\"id\":u3,\"n\":u4},{\"id\":u5,\"m\":u6},{\"id\":u8,\"n\":u7}]}");

    // A guess must never accept text that a cold parse rejects, nor move error positions.
    CHECK_EQ(parse_err("[{\"k\":0,\"a\\\"\":1},{\"k\":0,\"a\"\":1}]"), "expected `:` at line 1 column 28");
    CHECK_EQ(parse_err("[{\"abc\":1},{\"abc"), "EOF while parsing a string at line 1 column 16");
    CHECK_EQ(parse_err("[{\"abc\":1},{\"ab"), "EOF while parsing a string at line 1 column 15");
    CHECK_EQ(parse_err("[{\"abc\":1},{\"abc\""), "EOF while parsing an object at line 1 column 17");
    CHECK_EQ(parse_err("[{\"abc\":1},{\"abc\\n\":1}"), "EOF while parsing a list at line 1 column 22");
}

// With the hash key in hand an attacker can aim every short string at one table slot; the
// probe bound must keep such a body as cheap to parse as ordinary text of the same size.
TEST(json_strings_aimed_at_one_slot_cost_no_more_than_ordinary_ones) {
    const HashKey key{{0x0123456789abcdefull, 42, 7, 0xfedcba9876543210ull}};
    std::string hostile = "[", benign = "[";
    size_t n_hostile = 0, n_benign = 0;
    for (uint64_t state = 88172645463325252ull; n_hostile < 20000 || n_benign < 20000;) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        unsigned char s[8];
        for (int b = 0; b < 8; ++b) s[b] = static_cast<unsigned char>('a' + ((state >> (b * 4)) & 15));
        std::string item = "\"" + std::string(reinterpret_cast<char*>(s), 8) + "\",";
        if ((short_hash(key, s, 8) & 0xFF) == 0 && n_hostile < 20000) hostile += item, ++n_hostile;
        else if (n_benign < 20000) benign += item, ++n_benign;
    }
    hostile.back() = ']', benign.back() = ']';
    auto best_time = [&](const std::string& text, size_t& ids) {
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            JsonDocument doc;
            auto t0 = std::chrono::steady_clock::now();
            CHECK(!parse_json(text, doc, ParseOptions{&key}));
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            ids = doc.string_ids;
        }
        return best;
    };
    size_t hostile_ids = 0, benign_ids = 0;
    double ratio = best_time(hostile, hostile_ids) / best_time(benign, benign_ids);
    CHECK(hostile_ids < 64 && benign_ids > 19000);  // the aimed strings did meet the bound
    CHECK(ratio < 3);
}
