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

std::string nested(char open, int depth) { return std::string(depth, open); }

const char* kCtl = "control character (\\u0000-\\u001F) found while parsing a string";

}  // namespace

TEST(json_errors_positions) {
    using namespace std::string_literals;
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n", "EOF while parsing a value at line 2 column 0"},
        {"x", "expected value at line 1 column 1"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"[1]x", "trailing characters at line 1 column 4"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"nul1", "expected ident at line 1 column 4"},
        {"truex", "trailing characters at line 1 column 5"},
        {"01", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"\"a\n\"", kCtl + " at line 2 column 0"s},
        {"\"\x1f\"", kCtl + " at line 1 column 2"s},
        // Structure
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1,\n ", "EOF while parsing a value at line 2 column 1"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{]", "key must be a string at line 1 column 2"},
        {"[}", "expected value at line 1 column 2"},
        {"[,1]", "expected value at line 1 column 2"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"\x80", "expected value at line 1 column 1"},
        {"fals", "EOF while parsing a value at line 1 column 4"},
        {"fxlse", "expected ident at line 1 column 2"},
        {"\f1", "expected value at line 1 column 1"},
        {"1 \r\n  2", "trailing characters at line 2 column 3"},
        {"\"\xff\" \xff", "invalid unicode code point at line 1 column 3"},
        {"[1] \xff", "trailing characters at line 1 column 5"},
        // Numbers
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+", "EOF while parsing a value at line 1 column 3"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"1Ex", "invalid number at line 1 column 3"},
        {"1e400", "number out of range at line 1 column 5"},
        {"10e308", "number out of range at line 1 column 6"},
        {"[1.7976931348623157e309 ]", "number out of range at line 1 column 23"},
        {"1e2147483648", "number out of range at line 1 column 12"},
        {"1e99999999999", "number out of range at line 1 column 12"},
        {"-1e3000000000", "number out of range at line 1 column 13"},
        // Strings and escapes
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"\\", "EOF while parsing a string at line 1 column 2"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        {"\"\\uDE00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud83d\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud83d\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\ud83d", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud83d\\", "EOF while parsing a string at line 1 column 8"},
        {"\"\\ud83d\\u00", "EOF while parsing a string at line 1 column 11"},
        {"\"\\ud83d\\u00g0\"", "invalid escape at line 1 column 13"},
        {"\"\\ud83d\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud83d\\ud83d\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"ab\xff\"", "invalid unicode code point at line 1 column 5"},
        {"\"\xc3\\u00a9\"", "invalid unicode code point at line 1 column 9"},
        {"\"\\u00e9\xa9\"", "invalid unicode code point at line 1 column 9"},
        {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},
        {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        {"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},
        {"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},
        // A bad byte early does not hide a later hard error in the same string.
        {"\"\xff\x01\"", kCtl + " at line 1 column 3"s},
        {"\"\xff", "EOF while parsing a string at line 1 column 2"},
        // Errors far from the start, past the 16-byte block scan.
        {"\"0123456789abcdefghij\x05\"", kCtl + " at line 1 column 22"s},
        {"\"0123456789abcdef\xe2\x82\xac\xff 0123456789abcdef\"", "invalid unicode code point at line 1 column 39"},
        // Nesting budget
        {nested('[', 128), "recursion limit exceeded at line 1 column 128"},
        {nested('{', 1) + std::string("\"a\":").append(nested('[', 127)), "recursion limit exceeded at line 1 column 132"},
        {nested('[', 127), "EOF while parsing a list at line 1 column 127"},
    };
    for (const Case& c : cases) {
        std::string got = parse_err(c.input);
        if (got != c.expected) std::fprintf(stderr, "  input %s\n", c.input.c_str());
        CHECK_EQ(got, c.expected);
    }
}

TEST(json_values) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {" null ", "null"},
        {"[true,false,null]", "[true,false,null]"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ [ ] , { } ]", "[[],{}]"},
        {"\"\"", "\"\""},
        // Integer kinds
        {"0", "u0"},
        {"9223372036854775807", "u9223372036854775807"},
        {"18446744073709551615", "u18446744073709551615"},
        {"18446744073709551616", "d1.8446744073709552e+19"},
        {"-1", "i-1"},
        {"-9223372036854775808", "i-9223372036854775808"},
        {"-9223372036854775809", "d-9.2233720368547758e+18"},
        {"-18446744073709551615", "d-1.8446744073709552e+19"},
        {"-0", "d-0"},
        {"-0.0", "d-0"},
        {"-0e5", "d-0"},
        {"1.0", "d1"},
        {"1e2", "d100"},
        {"1E+2", "d100"},
        {"25e-1", "d2.5"},
        {"1.5", "d1.5"},
        // Not correctly rounded on purpose: the significand 90071992547409930 rounds up first.
        {"9007199254740993.0", "d9007199254740994"},
        {"1e-400", "d0"},
        {"-1e-400", "d-0"},
        {"0e999", "d0"},
        {"0.0e2147483648", "d0"},
        {"-1e-2147483648", "d-0"},
        {"1e308", "d1e+308"},
        {"1.7976931348623157e308", "d1.7976931348623157e+308"},
        {"123e-2", "d1.23"},
        {"5e-324", "d4.9406564584124654e-324"},
        {"1e-320", "d9.9998886718268301e-321"},
        // Digits past 64 bits are dropped, not rounded.
        {"184467440737095516159", "d1.8446744073709552e+20"},
        {"0.18446744073709551616", "d0.18446744073709553"},
        {"1" + std::string(400, '0') + "e-400", "d1"},
        {"0." + std::string(100000, '0') + "1", "d0"},
        {std::string(100000, '3') + "e-99999", "d3.3333333333333335"},
        // Strings
        {"\"a\\\"\\\\\\/\\b\\f\\n\\r\\tz\"", "\"a\"\\/\b\f\n\r\tz\""},
        {"\"\\u00e9\"", "\"\xc3\xa9\""},
        {"\"\\u20AC\\u0041\"", "\"\xe2\x82\xac" "A\""},
        {"\"\\ud83d\\ude00\"", "\"\xf0\x9f\x98\x80\""},
        {"\"\xf0\x9f\x98\x80 caf\xc3\xa9\"", "\"\xf0\x9f\x98\x80 caf\xc3\xa9\""},
        {"\"x\\u0000y\"", std::string("\"x\0y\"", 5)},
        {"[\"0123456789abcdefghij\\n0123456789abcdefghij\",\"q\"]",
         "[\"0123456789abcdefghij\n0123456789abcdefghij\",\"q\"]"},
        // Objects: ascending byte order of keys, last duplicate wins.
        {"{\"b\":1,\"a\":2,\"b\":3}", "{\"a\":u2,\"b\":u3}"},
        {"{\"B\":1,\"a\":2,\"\xc3\xa9\":3}", "{\"B\":u1,\"a\":u2,\"\xc3\xa9\":u3}"},
        {"{\"\xc3\xa9\":1,\"a\":2,\"B\":3}", "{\"B\":u3,\"a\":u2,\"\xc3\xa9\":u1}"},
        {"{\"ab\":1,\"a\":2,\"\":3}", "{\"\":u3,\"a\":u2,\"ab\":u1}"},
        {"{\"a\":1,\"a\":2}", "{\"a\":u2}"},
        {"{\"a\":[1,{\"z\":1,\"y\":2}],\"a\":{\"d\":1,\"c\":{}},\"0\":null}",
         "{\"0\":null,\"a\":{\"c\":{},\"d\":u1}}"},
        {"{\"\\u0062\":1,\"a\":2,\"b\":3}", "{\"a\":u2,\"b\":u3}"},
        {"{\"a\":1,\"b\":2,\"c\":3}", "{\"a\":u1,\"b\":u2,\"c\":u3}"},
    };
    for (const Case& c : cases) {
        std::string got = parse_ok(c.input);
        if (got != c.expected) std::fprintf(stderr, "  input %.80s\n", c.input.c_str());
        CHECK_EQ(got, c.expected);
    }
}

TEST(json_nesting_budget_accepts_127_levels) {
    std::string arrays = nested('[', 127) + std::string(127, ']');
    CHECK_EQ(parse_err(arrays), "OK");
    std::string objects;
    for (int i = 0; i < 127; ++i) objects += "{\"k\":";
    objects += "1";
    objects += std::string(127, '}');
    CHECK_EQ(parse_err(objects), "OK");
    // The budget is given back when a container closes.
    std::string siblings = "[" + nested('[', 126) + std::string(126, ']') + "," + nested('[', 126) +
                           std::string(126, ']') + "]";
    CHECK_EQ(parse_err(siblings), "OK");
}

TEST(json_large_inputs_stay_linear) {
    // Many duplicates of one key, and many distinct keys in descending order.
    std::string dup = "{";
    for (int i = 0; i < 200000; ++i) dup += "\"k\":" + std::to_string(i) + ",";
    dup += "\"k\":-1}";
    CHECK_EQ(parse_ok(dup), "{\"k\":i-1}");

    std::string desc = "{";
    for (int i = 200000; i > 0; --i) desc += "\"" + std::to_string(1000000 + i) + "\":0,";
    desc += "\"0\":1}";
    JsonDocument doc;
    CHECK(!parse_json(desc, doc));
    CHECK_EQ(doc.member_count(0), 200001u);
    std::string_view prev;
    bool ascending = true;
    doc.for_each_member(0, [&](size_t k) {
        if (!prev.empty() && !(prev < doc.string(k))) ascending = false;
        prev = doc.string(k);
        return true;
    });
    CHECK(ascending);

    std::string big = "\"" + std::string(10 * 1024 * 1024, 'x') + "\"";
    CHECK(!parse_json(big, doc));
    CHECK_EQ(doc.string(0).size(), big.size() - 2);
    CHECK(doc.string(0).data() == big.data() + 1);  // unescaped strings are views into the input

    CHECK_EQ(parse_err(nested('[', 100000)), "recursion limit exceeded at line 1 column 128");
}

TEST(json_error_line_column_counts_bytes) {
    JsonDocument doc;
    std::string text = "[\n\"\xc3\xa9\",\r\n  x]";
    JsonError err = parse_json(text, doc);
    CHECK(err);
    CHECK_EQ(err.offset, 12u);
    CHECK_EQ(format_json_error(text, err), "expected value at line 3 column 3");
}

TEST(json_short_strings_share_ids) {
    JsonDocument doc;
    std::string long_text(40, 'y');
    std::string text = "[\"ab\",{\"ab\":\"a\\u0062\",\"abc\":\"\"},\"\",\"" + long_text + "\",\"a\\\"\",\"a\\\"\"]";
    CHECK(!parse_json(text, doc));
    // Nodes: 0 [, 1 "ab", 2 {, 3 key ab, 4 "ab" (escaped), 5 key abc, 6 "", 7 "", 8 long, 9 a", 10 a"
    CHECK(doc.node(1).interned() && doc.node(3).interned() && doc.node(4).interned());
    CHECK_EQ(doc.node(1).string_id(), doc.node(3).string_id());
    CHECK_EQ(doc.node(1).string_id(), doc.node(4).string_id());
    CHECK(doc.node(4).tag() == Tag::EscString);
    CHECK(doc.node(5).string_id() != doc.node(1).string_id());
    CHECK_EQ(doc.node(6).string_id(), doc.node(7).string_id());
    CHECK_EQ(doc.node(6).size(), 0u);
    CHECK(!doc.node(8).interned());
    CHECK_EQ(doc.node(8).size(), 40u);
    CHECK_EQ(doc.node(9).string_id(), doc.node(10).string_id());
    CHECK_EQ(doc.string(10), "a\"");
    CHECK_EQ(doc.string_ids, 4u);  // ab, abc, "", a"
    CHECK_EQ(doc.node(0).size(), 6u);
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
    JsonDocument doc;
    CHECK(!parse_json(text, doc));
    // Object 6 (descending, repeated) is reordered; object 7 (ascending, repeated) is not.
    size_t i = 1;
    for (int m = 0; m < 5; ++m) i = doc.skip(i);
    CHECK(doc.node(i).tag() == Tag::OrderedObject);
    i = doc.skip(i);
    CHECK(doc.node(i).tag() == Tag::Object);
    CHECK_EQ(doc.node(i + 1).string_id(), doc.node(2).string_id());
    CHECK_EQ(doc.string_ids, 6u);  // a, b, c, x, ab, abc

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
