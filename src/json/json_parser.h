// Strict JSON text -> flat tape. Pure C++: no interpreter types, errors are values.
//
// Tape layout (one Node per entry, in document order):
//   scalar / string : one node
//   array           : header node, then its elements; header.payload = index one past the array
//   object          : header node, then key node + value subtree per member as written;
//                     members are visited in ascending key-byte order with duplicates collapsed
//                     (last wins) through `for_each_member`.
// Objects whose keys were already strictly ascending are kept as written (tag Object); the
// others get a side list of winning key indices in `order` (tag OrderedObject).
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_short_hash.h"

namespace calvenor::json {

enum class Tag : uint8_t {
    Null,
    False,
    True,
    UInt,      // payload: uint64_t
    NegInt,    // payload: int64_t bits, in [-2^63, -1]
    Double,    // payload: double bits
    String,    // payload: offset into the input, size(): byte length
    EscString, // payload: offset into the arena, size(): byte length
    Array,     // payload: end index, size(): element count
    Object,    // payload: end index, size(): member count (keys strictly ascending)
    OrderedObject, // payload: end index, size(): offset into `order` (count, then key indices)
};

struct Node {
    uint64_t payload;
    // (size << 8) | tag; a short string also carries kInterned and its string id in the top
    // 24 bits (its size then fits the 32 bits between). kAscii marks a string of bytes below
    // 0x80 only, which needs no UTF-8 decoding.
    uint64_t aux;

    static constexpr uint64_t kInterned = 0x80;
    static constexpr uint64_t kAscii = 0x40;

    Tag tag() const { return static_cast<Tag>(aux & 0x3f); }
    bool ascii() const { return (aux & kAscii) != 0; }
    uint64_t size() const { return (aux & kInterned) ? (aux >> 8) & 0xffffffffu : aux >> 8; }
    bool interned() const { return (aux & kInterned) != 0; }
    // Equal strings of one document share an id; ids count up from 0 in order of first use.
    uint32_t string_id() const { return static_cast<uint32_t>(aux >> 40); }
};

struct JsonError {
    const char* message = nullptr;  // nullptr: no error
    size_t offset = 0;              // p: bytes before the error point

    explicit operator bool() const { return message != nullptr; }
};

// The parser's working tables. They live in the document so that a document reused for many
// parses stops allocating once warm; parse_json resets them in time proportional to what the
// previous parse used.
struct ParseScratch {
    struct InternSlot {
        uint32_t id_plus_one;  // 0: empty
        uint32_t hash;         // low half of the string's hash
    };
    struct InternText {
        uint32_t offset;  // into bytes
        uint32_t size;
        uint32_t slot;    // index in slots, or kNoSlot once dropped by a resize
        uint64_t hash;
    };
    static constexpr uint32_t kNoSlot = UINT32_MAX;
    struct SortItem {
        uint64_t prefix;  // first eight key bytes, big-endian
        uint64_t index;   // tape index of the key
    };
    // A key order already worked out for one sequence of keys (see Parser::order_members):
    // pool[offset, +count) the tape indices of that object's keys, then the winning ordinals.
    struct Shape {
        uint64_t hash;
        uint32_t offset;
        uint32_t count;
        uint32_t unique;
        uint32_t parse;  // set by the parse with this number; older entries are empty
    };

    std::vector<InternSlot> slots;
    std::string bytes;              // text of each distinct short string, packed
    std::vector<InternText> texts;  // per string id
    std::vector<uint32_t> next_key; // see Parser::key
    std::vector<SortItem> sort;
    std::vector<uint64_t> members;  // tape indices of the keys of the object being ordered
    std::vector<Shape> shapes;
    std::vector<uint64_t> shape_pool;
    uint32_t parse = 0;  // counts parses, so that the shape table needs no clearing
};

class JsonDocument {
public:
    std::string_view input;
    std::vector<Node> tape;
    std::string arena;            // strings that contained escapes, unescaped
    std::vector<uint64_t> order;  // member lists of OrderedObject nodes
    size_t string_ids = 0;        // string ids handed out (see Node::string_id)
    ParseScratch scratch;

    // Keyed hash of the text of string id `id` (see short_hash).
    uint64_t string_hash(uint32_t id) const { return scratch.texts[id].hash; }

    const Node& node(size_t i) const { return tape[i]; }

    // Index just past the value starting at i.
    size_t skip(size_t i) const {
        Tag t = tape[i].tag();
        return (t == Tag::Array || t == Tag::Object || t == Tag::OrderedObject)
                   ? static_cast<size_t>(tape[i].payload)
                   : i + 1;
    }

    std::string_view string(size_t i) const {
        const Node& n = tape[i];
        const char* base = n.tag() == Tag::String ? input.data() : arena.data();
        return {base + n.payload, static_cast<size_t>(n.size())};
    }

    double as_double(size_t i) const { return std::bit_cast<double>(tape[i].payload); }
    int64_t as_negint(size_t i) const { return static_cast<int64_t>(tape[i].payload); }

    size_t member_count(size_t i) const {
        const Node& n = tape[i];
        return n.tag() == Tag::Object ? static_cast<size_t>(n.size())
                                      : static_cast<size_t>(order[n.size()]);
    }

    // Calls fn(key_index) for each member of the object at i in key order; the value is at
    // key_index + 1.
    template <class Fn>
    bool for_each_member(size_t i, Fn&& fn) const {
        const Node& n = tape[i];
        if (n.tag() == Tag::Object) {
            size_t k = i + 1;
            for (uint64_t m = 0; m < n.size(); ++m) {
                if (!fn(k)) return false;
                k = skip(k + 1);
            }
        } else {
            const uint64_t* list = order.data() + n.size();
            for (uint64_t m = 0; m < list[0]; ++m)
                if (!fn(static_cast<size_t>(list[1 + m]))) return false;
        }
        return true;
    }
};

// Parses the whole text. On success `out` holds the tape (root at index 0) and borrows
// `input`, which must outlive it.
struct ParseOptions {
    const HashKey* key = nullptr;  // string-table hash key; nullptr: the process's own
    size_t intern_from = 0;        // inputs shorter than this give no string ids at all
};
JsonError parse_json(std::string_view input, JsonDocument& out, const ParseOptions& options = {});

// "{message} at line {line} column {column}", both counted in bytes from error.offset.
std::string format_json_error(std::string_view input, const JsonError& error);

}  // namespace calvenor::json
