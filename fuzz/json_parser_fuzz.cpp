// libFuzzer target: the parser never crashes, errors point inside the input, a parsed tape is
// well-formed, and parsing is deterministic.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "json/json_parser.h"
#include "json/json_utf8.h"

using namespace calvenor::json;

namespace {

#define FUZZ_ASSERT(c) \
    do {               \
        if (!(c)) std::abort(); \
    } while (0)

// Returns the index past the value at i after checking it; depth is bounded by the parser.
size_t check_value(const JsonDocument& doc, size_t i, size_t end, int depth) {
    FUZZ_ASSERT(i < end && depth <= 127);
    const Node& n = doc.node(i);
    switch (n.tag()) {
        case Tag::Null: case Tag::False: case Tag::True: case Tag::UInt: case Tag::Double:
            return i + 1;
        case Tag::NegInt:
            FUZZ_ASSERT(doc.as_negint(i) < 0);
            return i + 1;
        case Tag::String:
            FUZZ_ASSERT(n.payload + n.size() <= doc.input.size());
            [[fallthrough]];
        case Tag::EscString: {
            std::string_view s = doc.string(i);
            FUZZ_ASSERT(utf8_valid(reinterpret_cast<const unsigned char*>(s.data()), s.size()));
            return i + 1;
        }
        case Tag::Array: {
            FUZZ_ASSERT(depth < 127);
            size_t k = i + 1;
            for (uint64_t m = 0; m < n.size(); ++m) k = check_value(doc, k, end, depth + 1);
            FUZZ_ASSERT(k == n.payload && k == doc.skip(i));
            return k;
        }
        case Tag::Object:
        case Tag::OrderedObject: {
            FUZZ_ASSERT(depth < 127);
            size_t end_index = static_cast<size_t>(n.payload);
            FUZZ_ASSERT(end_index <= end);
            // Every written member is well-formed...
            size_t k = i + 1;
            while (k < end_index) {
                FUZZ_ASSERT(doc.node(k).tag() == Tag::String || doc.node(k).tag() == Tag::EscString);
                k = check_value(doc, k, end_index, depth + 1);
                k = check_value(doc, k, end_index, depth + 1);
            }
            FUZZ_ASSERT(k == end_index);
            // ...and the visible ones come in strictly ascending key order.
            std::string_view prev;
            size_t seen = 0;
            doc.for_each_member(i, [&](size_t key) {
                FUZZ_ASSERT(key > i && key + 1 < end_index);
                if (seen > 0) FUZZ_ASSERT(prev < doc.string(key));
                prev = doc.string(key);
                ++seen;
                return true;
            });
            FUZZ_ASSERT(seen == doc.member_count(i));
            return end_index;
        }
    }
    FUZZ_ASSERT(false);
    return 0;
}

bool same_node(const JsonDocument& a, const JsonDocument& b, size_t i) {
    const Node& x = a.node(i);
    const Node& y = b.node(i);
    if (x.tag() != y.tag()) return false;
    if (x.tag() == Tag::String || x.tag() == Tag::EscString) return a.string(i) == b.string(i);
    return x.payload == y.payload && x.aux == y.aux;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    JsonDocument doc;
    JsonError err = parse_json(input, doc);
    if (err) {
        FUZZ_ASSERT(err.offset <= size);
        FUZZ_ASSERT(std::strlen(format_json_error(input, err).c_str()) > 0);
    } else {
        FUZZ_ASSERT(!doc.tape.empty());
        FUZZ_ASSERT(check_value(doc, 0, doc.tape.size(), 0) == doc.tape.size());
    }

    JsonDocument again;
    JsonError err2 = parse_json(input, again);
    FUZZ_ASSERT(err.message == err2.message && err.offset == err2.offset);
    if (!err) {
        FUZZ_ASSERT(again.tape.size() == doc.tape.size());
        for (size_t i = 0; i < doc.tape.size(); ++i) FUZZ_ASSERT(same_node(doc, again, i));
    }
    return 0;
}
