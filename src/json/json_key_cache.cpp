#include "json/json_key_cache.h"

#include <cstring>

#include "json/json_short_hash.h"

namespace calvenor::json {
namespace {

constexpr size_t kSlots = 1024;  // a power of two

struct Entry {
    uint64_t hash = 0;
    uint32_t size = 0;
    char bytes[kKeyCacheMaxLen] = {};
    Ref str;  // empty: free slot

    bool holds(uint64_t h, std::string_view text) const {
        return str && hash == h && size == text.size() &&
               short_equal(reinterpret_cast<const unsigned char*>(bytes), reinterpret_cast<const unsigned char*>(text.data()), size);
    }
};

// One per process: the module refuses sub-interpreters, and every access holds the
// interpreter lock and runs no Python code in between. Never destroyed, so that no str is
// released after the interpreter is gone.
Entry* slots() {
    static Entry* table = new Entry[kSlots];
    return table;
}

}  // namespace

PyObject* cached_key(uint64_t hash, std::string_view text, bool ascii) {
    Entry* table = slots();
    // Two neighbouring slots; the second half of the hash picks which one a newcomer evicts.
    size_t first = static_cast<size_t>(hash) & (kSlots - 1);
    size_t second = first ^ 1;
    if (table[first].holds(hash, text)) return table[first].str.get();
    if (table[second].holds(hash, text)) return table[second].str.get();
    Ref str = Ref::steal(make_str(text, ascii));
    if (!str) return nullptr;
    Entry& e = !table[first].str ? table[first] : !table[second].str ? table[second] : table[(hash >> 63) ? first : second];
    e.hash = hash;
    e.size = static_cast<uint32_t>(text.size());
    std::memcpy(e.bytes, text.data(), text.size());
    e.str = std::move(str);
    return e.str.get();
}

}  // namespace calvenor::json
